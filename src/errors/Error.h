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

// A task stopped because it was cancelled; callers recognise it and stay silent.
class CancellationError : public Error {
public:
    CancellationError() : Error(QStringLiteral("已取消。")) {}
};

} // namespace kitewell
