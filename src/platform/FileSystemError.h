#pragma once

#include "errors/Error.h"

namespace kitewell {

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

} // namespace kitewell
