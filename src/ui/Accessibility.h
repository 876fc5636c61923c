#pragma once

namespace kitewell {

// Makes every Qt Quick item report itself disabled to assistive technology while it is
// disabled on screen, and gives every control a name. Qt 6.4 leaves the flag out, so a
// screen reader would announce a greyed-out switch or button as one that works, and names
// buttons and switches only when it knew of the screen reader before they were made.
// Call before the first window is loaded; calling again does nothing.
void reportDisabledItemsToAccessibility();

} // namespace kitewell
