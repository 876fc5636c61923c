#pragma once

namespace kitewell {

// How far a pass has got through the step under way: of the files the step expects to
// handle (`total`), how many it has dealt with (`done`).
struct SyncProgress {
    enum class Step { Downloading, Returning };
    Step step = Step::Downloading;
    int done = 0;
    int total = 0;

    bool operator==(const SyncProgress&) const = default;
};

} // namespace kitewell
