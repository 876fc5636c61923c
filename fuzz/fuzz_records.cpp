// The service records' decoders on arbitrary bytes: each either decodes or fails with
// json::DecodingError (any other exception or crash is a finding), and what decodes is
// decoded the same again from its own encoding. The quick workspace reader must agree with
// the general decoder on every input.

#include "FuzzCheck.h"
#include "model/Json.h"
#include "model/Records.h"

using namespace kitewell;

namespace {

template <typename Record> std::optional<Record> tryDecode(const QByteArray& bytes) {
    try {
        return Record::decode(bytes);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

// Everything but originalUrl, whose text the URL type may normalise.
bool samePhotoFields(const Photo& a, const Photo& b) {
    return a.id == b.id && a.name == b.name && a.createdAt == b.createdAt && a.isPublished == b.isPublished &&
           a.originalUrl.has_value() == b.originalUrl.has_value();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzzing::bytesOf(data, size);

    std::optional<EventWorkspace> general;
    try {
        general = EventWorkspace::fromJson(json::parseObject(bytes));
    } catch (const json::DecodingError&) {
    }
    const auto quick = tryDecode<EventWorkspace>(bytes);
    FUZZ_CHECK(quick.has_value() == general.has_value());
    if (quick) {
        FUZZ_CHECK(quick->event == general->event && quick->photos == general->photos);
        FUZZ_CHECK(quick->permissions.canUpload == general->permissions.canUpload &&
                   quick->permissions.canManageAllPhotos == general->permissions.canManageAllPhotos);
    }

    if (const auto& workspace = quick) {
        const auto again = tryDecode<EventWorkspace>(json::encodeCompact(workspace->toJson()));
        FUZZ_CHECK(again);
        FUZZ_CHECK(again->event == workspace->event);
        FUZZ_CHECK(again->photos.size() == workspace->photos.size());
        for (qsizetype i = 0; i < workspace->photos.size(); ++i)
            FUZZ_CHECK(samePhotoFields(again->photos[i], workspace->photos[i]));
        FUZZ_CHECK(again->permissions.canUpload == workspace->permissions.canUpload);
        FUZZ_CHECK(again->permissions.canManageAllPhotos == workspace->permissions.canManageAllPhotos);
    }
    if (const auto bootstrap = tryDecode<WorkspaceBootstrap>(bytes)) {
        const auto again = tryDecode<WorkspaceBootstrap>(json::encodeCompact(bootstrap->toJson()));
        FUZZ_CHECK(again);
        FUZZ_CHECK(again->events == bootstrap->events);
        FUZZ_CHECK(again->account.id == bootstrap->account.id &&
                   again->account.email == bootstrap->account.email &&
                   again->account.name == bootstrap->account.name);
    }
    if (const auto signIn = tryDecode<SignInResponse>(bytes)) {
        const auto again = tryDecode<SignInResponse>(json::encodeCompact(signIn->toJson()));
        FUZZ_CHECK(again && again->token == signIn->token);
    }
    if (const auto error = tryDecode<ErrorResponse>(bytes)) {
        const auto again = tryDecode<ErrorResponse>(json::encodeCompact(error->toJson()));
        FUZZ_CHECK(again && again->error == error->error && again->message == error->message);
    }
    // Any JSON document decodes as EmptyResponse; a decoded object is always one.
    const bool empty = tryDecode<EmptyResponse>(bytes).has_value();
    FUZZ_CHECK(!(tryDecode<SignInResponse>(bytes) && !empty));
    return 0;
}
