#include "support/Outcome.h"

namespace testsupport {

Failure describe(std::exception_ptr error) {
    Failure failure;
    try {
        std::rethrow_exception(error);
    } catch (const kitewell::SyncClientError& e) {
        failure = {Failure::Kind::Client, e.description(), e.errorCase(), 0};
    } catch (const kitewell::FileSystemError& e) {
        failure = {Failure::Kind::FileSystem, e.description(), std::nullopt, e.code()};
    } catch (const kitewell::TransportError& e) {
        failure = {Failure::Kind::Transport, e.description(), std::nullopt, int(e.kind())};
    } catch (const kitewell::CancellationError& e) {
        failure = {Failure::Kind::Cancelled, e.description(), std::nullopt, 0};
    } catch (const kitewell::Error& e) {
        failure = {Failure::Kind::OtherError, e.description(), std::nullopt, 0};
    } catch (const std::exception& e) {
        failure = {Failure::Kind::Unknown, QString::fromUtf8(e.what()), std::nullopt, 0};
    } catch (...) {
        failure = {Failure::Kind::Unknown, QStringLiteral("unknown exception"), std::nullopt, 0};
    }
    return failure;
}

} // namespace testsupport
