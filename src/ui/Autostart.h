#pragma once

#include <QString>

namespace kitewell {

// Starting with the desktop session: the user's XDG autostart entry for the program, which
// starts it with its window hidden in the tray. Whether the entry exists is the setting.
class Autostart {
public:
    // $XDG_CONFIG_HOME/autostart/<app id>.desktop (~/.config when the variable is unset).
    static QString entryPath();
    static bool isEnabled();
    // Writes the entry for `program` (the running binary by default), or removes it.
    // Throws FileSystemError.
    static void setEnabled(bool enabled, const QString& program = {});
    // The program the entry starts (and checks for, so that a login after the program was
    // removed starts nothing): the plain name where PATH finds this very binary (the
    // package's), so the entry follows reinstalls and upgrades; the absolute path otherwise
    // (a build tree, a prefix off PATH).
    static QString launched(const QString& program);
};

} // namespace kitewell
