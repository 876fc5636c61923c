#pragma once

#include "errors/Error.h"

namespace kitewell {

// The program's own errors, each with its fixed Chinese description.
class SyncClientError : public Error {
public:
    enum class Case {
        server,
        permissionDenied,
        invalidServerURL,
        missingToken,
        unauthorized,
        invalidResponse,
        missingOriginalDirectory,
        missingEffectDirectory,
        missingProject,
    };

    static SyncClientError server(const QString& message);
    static SyncClientError permissionDenied(const QString& folderLabel);
    static SyncClientError invalidServerURL();
    static SyncClientError missingToken();
    static SyncClientError unauthorized();
    static SyncClientError invalidResponse();
    static SyncClientError missingOriginalDirectory();
    static SyncClientError missingEffectDirectory();
    static SyncClientError missingProject();

    Case errorCase() const noexcept { return m_case; }
    // The message of `server`, the folder label of `permissionDenied`, else empty.
    const QString& payload() const noexcept { return m_payload; }

private:
    SyncClientError(Case errorCase, QString payload, QString description);

    Case m_case;
    QString m_payload;
};

} // namespace kitewell
