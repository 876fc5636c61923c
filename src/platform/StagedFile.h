#pragma once

#include "platform/FileHandle.h"

#include <QByteArray>
#include <QString>

namespace kitewell {

// What a downloaded original is written to until it is whole: its name and this. File names
// are cut to leave room for it.
inline constexpr char kDownloadSuffix[] = ".download";

// A file written under a staging name and put in place whole, or not at all. Commit flushes
// the data, renames the staging file over the target in one step and flushes the folder;
// a staged file that is never committed is removed when it goes. Errors are FileSystemError
// with the operating system's text. Blocking: keep it off the UI thread.
class StagedFile {
public:
    // Creates the staging file afresh (an old file of that name is removed first).
    StagedFile(const QString& target, const QString& staging);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    void write(const char* data, qsizetype size);
    void write(const QByteArray& bytes) { write(bytes.constData(), bytes.size()); }
    void commit();

private:
    QString m_target;
    QString m_staging;
    FileHandle m_file;
    qint64 m_written = 0;
    qint64 m_writtenBack = 0; // bytes whose writing to the disk has been started
    bool m_committed = false;
};

} // namespace kitewell
