#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace kitewell {

// Base of every error the program shows: what() is the user-facing description (UTF-8).
class Error : public std::exception {
public:
    explicit Error(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8()) {}
    const char* what() const noexcept override { return m_utf8.constData(); }
    const QString& description() const noexcept { return m_description; }

private:
    QString m_description;
    QByteArray m_utf8;
};

// A file-system failure, carrying the operating system's own text.
class FileSystemError : public Error {
public:
    FileSystemError(QString description, int code = 0) : Error(std::move(description)), m_code(code) {}
    // errno where one is known, else 0.
    int code() const noexcept { return m_code; }
    // Builds the error from errno, with the operating system's text for it.
    static FileSystemError fromErrno(int errnoValue);

private:
    int m_code;
};

// A network failure below HTTP (no status): Qt's own text and error code.
class TransportError : public Error {
public:
    TransportError(QString description, int networkError)
        : Error(std::move(description)), m_networkError(networkError) {}
    // The QNetworkReply::NetworkError value.
    int networkError() const noexcept { return m_networkError; }

private:
    int m_networkError;
};

// A task stopped because it was cancelled; callers recognise it and stay silent.
class CancellationError : public Error {
public:
    CancellationError() : Error(QStringLiteral("已取消。")) {}
};

} // namespace kitewell
