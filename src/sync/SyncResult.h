#pragma once

namespace kitewell {

// The counts of one sync pass.
struct SyncResult {
    int downloadedOriginals = 0;
    int uploadedEffects = 0;
    int publishedEffects = 0;
    int unmatchedEffects = 0;

    bool operator==(const SyncResult&) const = default;
};

} // namespace kitewell
