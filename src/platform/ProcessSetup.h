#pragma once

namespace kitewell {

// What the process needs before anything else runs, before any other thread exists; the
// program's main calls it first.
//
// A file-size limit (ulimit -f) then fails the write that reaches it with EFBIG, which fails
// the pass like any full disk, instead of ending the program with SIGXFSZ. And the C library's
// allocator is set up for a program that polls for days, so that its memory stays what one
// pass needs.
void setUpProcess();

} // namespace kitewell
