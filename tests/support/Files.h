#pragma once

// Small file helpers shared by the tests.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

// The whole file, or empty when it cannot be read.
QByteArray readFile(const QString& path);
// Writes the file, creating missing parent folders; false when it cannot.
bool writeFile(const QString& path, const QByteArray& bytes);
// Dates the file's modification time the given number of seconds back (negative: ahead).
bool setModifiedSecondsAgo(const QString& path, int seconds);
// A retouched file, dated back past the two seconds in which it counts as still being written.
void writeAged(const QString& path, const QByteArray& bytes, int ageSeconds = 60);
// The file's fingerprint as the state file keeps it: size, "-", whole seconds of its modification time.
QString fingerprintOf(const QString& file);
// Every file below root (hidden ones too), relative to it, sorted.
QStringList tree(const QString& root);
// Every entry below root, folders and hidden ones too, as paths starting with root, sorted.
QStringList allEntries(const QString& root);
// Every entry directly in the folder, hidden ones too, sorted.
QStringList entries(const QString& folder);

} // namespace testsupport
