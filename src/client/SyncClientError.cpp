#include "client/SyncClientError.h"

namespace kitewell {

SyncClientError::SyncClientError(Case errorCase, QString payload, QString description)
    : Error(std::move(description)), m_case(errorCase), m_payload(std::move(payload)) {}

SyncClientError SyncClientError::server(const QString& message) {
    return {Case::server, message, message};
}

SyncClientError SyncClientError::permissionDenied(const QString& folderLabel) {
    return {Case::permissionDenied, folderLabel,
            QStringLiteral("没有访问“") + folderLabel + QStringLiteral("”文件夹的权限，请重新选择它。")};
}

SyncClientError SyncClientError::invalidServerURL() {
    return {Case::invalidServerURL, {}, QStringLiteral("服务器地址无效。")};
}

SyncClientError SyncClientError::missingToken() {
    return {Case::missingToken, {}, QStringLiteral("请先登录鸢井账号。")};
}

SyncClientError SyncClientError::unauthorized() {
    return {Case::unauthorized, {}, QStringLiteral("登录状态已失效，请重新登录。")};
}

SyncClientError SyncClientError::invalidResponse() {
    return {Case::invalidResponse, {}, QStringLiteral("服务器返回的数据无法识别。")};
}

SyncClientError SyncClientError::missingOriginalDirectory() {
    return {Case::missingOriginalDirectory, {}, QStringLiteral("请选择原图同步文件夹。")};
}

SyncClientError SyncClientError::missingEffectDirectory() {
    return {Case::missingEffectDirectory, {}, QStringLiteral("请选择精修回传文件夹。")};
}

SyncClientError SyncClientError::missingProject() {
    return {Case::missingProject, {}, QStringLiteral("请选择要同步的相册项目。")};
}

} // namespace kitewell
