#include "app/Failure.h"

#include "client/TransportError.h"
#include "credentials/KeychainStore.h"
#include "errors/Error.h"
#include "platform/FileSystemError.h"

namespace kitewell {

Failure classify(std::exception_ptr error) {
    using Kind = Failure::Kind;
    try {
        std::rethrow_exception(error);
    } catch (const SyncClientError& e) {
        return {Kind::Client, e.description(), e.errorCase()};
    } catch (const FileSystemError& e) {
        return {Kind::FileSystem, e.description(), std::nullopt, e.code()};
    } catch (const TransportError& e) {
        return {Kind::Transport, e.description(), std::nullopt, int(e.kind())};
    } catch (const KeychainStore::KeychainError& e) {
        return {Kind::OtherError, e.description(), std::nullopt, int(e.status())};
    } catch (const CancellationError& e) {
        return {Kind::Cancelled, e.description()};
    } catch (const Error& e) {
        return {Kind::OtherError, e.description()};
    } catch (const std::exception& e) {
        return {Kind::Unknown, QString::fromUtf8(e.what())};
    } catch (...) {
        return {Kind::Unknown, QStringLiteral("未知错误。")};
    }
}

} // namespace kitewell
