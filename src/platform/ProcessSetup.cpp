#include "platform/ProcessSetup.h"

#include <csignal>
#include <malloc.h>

namespace kitewell {

void setUpProcess() {
    std::signal(SIGXFSZ, SIG_IGN);

    // Left to itself, glibc gives every thread that allocates an arena of its own (up to
    // eight per core), and each arena keeps what the passes that ran on it left behind:
    // two are enough for the main thread and the workers.
    ::mallopt(M_ARENA_MAX, 2);
    // Blocks of a megabyte or more (answer bodies, the state file's bytes, the JSON parser's
    // buffers) are mapped on their own and handed back when freed. By default the threshold
    // rises to the largest such block freed so far; the blocks then land in the heap, and
    // the small records of later passes spread over the room they leave, pass after pass.
    ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    // Fixing that threshold also fixes the heap's trim threshold, at 128 KiB: the records a
    // pass frees would go back to the system and be faulted in again by the next pass. The
    // heap now holds small blocks only, which each pass reuses.
    ::mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
}

} // namespace kitewell
