#pragma once

#include "platform/FileStamp.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <optional>

namespace kitewell {

// The upload's multipart body as a device: the fixed prefix, the file's bytes read from
// disk as the network asks for them, and the suffix. Memory stays flat for any file size,
// and the length is known up front so nothing is buffered by the network stack.
class MultipartBody : public QIODevice {
    Q_OBJECT
public:
    // Opens the file at once; throws FileSystemError when it cannot be opened or measured.
    MultipartBody(const QString& boundary, const QString& filePath);
    ~MultipartBody() override;

    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 position) override;
    bool atEnd() const override;
    bool reset() override;

    // The file's stamp as its open descriptor shows it now. Throws FileSystemError.
    FileStamp fileStampNow() const { return fileStamp(m_fd); }
    // The error met while reading the file during the upload, if any.
    const std::optional<int>& readError() const { return m_readError; }

    // The text of the file name parameter: the last path component with '"' turned into '-'.
    static QByteArray fileNameParameter(const QString& filePath);
    static QByteArray prefix(const QByteArray& boundary, const QByteArray& fileName);
    static QByteArray suffix(const QByteArray& boundary);

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_prefix;
    QByteArray m_suffix;
    int m_fd = -1;
    qint64 m_fileSize = 0;
    std::optional<int> m_readError;
};

} // namespace kitewell
