#pragma once

#include <QString>

namespace kitewell {

// Whether the text is a URL reference (absolute, or relative to nothing yet) as QUrl's strict
// parser reads one. The common forms, a web address or an absolute path made of plain
// characters, are recognised without building a QUrl (an album lists thousands of them in
// every pass); anything else is left to QUrl.
bool isUrlReference(const QString& text);

} // namespace kitewell
