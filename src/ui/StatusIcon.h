#pragma once

#include <QIcon>

namespace kitewell {

// The program's icon as the tray shows it, telling the state at a glance: plain while all is
// well, with a blue turning mark while a pass runs, with a warning triangle while something
// needs the user. Drawn afresh at whatever size the tray asks for.
class StatusIcon {
public:
    enum class Mark { None, Syncing, Warning };

    static QIcon icon(Mark mark);
};

} // namespace kitewell
