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

// A network failure below HTTP (no status), described in the user's language.
class TransportError : public Error {
public:
    enum class Kind {
        ConnectionRefused,
        HostNotFound,
        TimedOut,
        TlsFailed,
        ConnectionClosed, // reset, or closed before the whole answer came
        TooManyRedirects,
        InsecureRedirect,
        Other,
    };
    TransportError(Kind kind, QString description, int curlCode = 0)
        : Error(std::move(description)), m_kind(kind), m_curlCode(curlCode) {}
    Kind kind() const noexcept { return m_kind; }
    // libcurl's CURLcode when libcurl reported the failure, else 0.
    int curlCode() const noexcept { return m_curlCode; }

private:
    Kind m_kind;
    int m_curlCode;
};

// A task stopped because it was cancelled; callers recognise it and stay silent.
class CancellationError : public Error {
public:
    CancellationError() : Error(QStringLiteral("已取消。")) {}
};

} // namespace kitewell
