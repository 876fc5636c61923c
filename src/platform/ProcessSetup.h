#pragma once

namespace kitewell {

// What the process needs before anything else runs; the program's main calls it first.
// A file-size limit (ulimit -f) then fails the write that reaches it with EFBIG, which
// fails the pass like any full disk, instead of ending the program with SIGXFSZ.
void setUpProcess();

} // namespace kitewell
