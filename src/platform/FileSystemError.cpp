#include "platform/FileSystemError.h"

#include <system_error>

namespace kitewell {

FileSystemError FileSystemError::fromErrno(int errnoValue) {
    // system_category() uses the reentrant strerror_r, safe on worker threads.
    return FileSystemError(QString::fromLocal8Bit(std::system_category().message(errnoValue)), errnoValue);
}

} // namespace kitewell
