#pragma once

namespace kitewell {

// Sets the C library's allocator up for a program that polls for days, so that its memory
// stays what one pass needs: called once at start, before any other thread runs.
void configureAllocator();

} // namespace kitewell
