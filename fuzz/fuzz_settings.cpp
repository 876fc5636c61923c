// SyncSettings::decode on arbitrary bytes: it decodes or fails with json::DecodingError,
// and a decoded record comes back unchanged from its own encoding, byte for byte on the
// second round (the settings file is rewritten on every change).

#include "FuzzCheck.h"
#include "model/Json.h"
#include "storage/SyncSettings.h"

using namespace kitewell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SyncSettings settings;
    try {
        settings = SyncSettings::decode(fuzzing::bytesOf(data, size));
    } catch (const json::DecodingError&) {
        return 0;
    }
    const QByteArray encoded = settings.encode();
    SyncSettings again;
    try {
        again = SyncSettings::decode(encoded);
    } catch (const json::DecodingError& error) {
        std::fprintf(stderr, "own encoding does not decode: %s\n%s\n", error.what(), encoded.constData());
        std::abort();
    }
    FUZZ_CHECK(again == settings);
    FUZZ_CHECK(again.encode() == encoded);
    return 0;
}
