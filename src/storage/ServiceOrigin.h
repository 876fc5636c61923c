#pragma once

#include <QString>

namespace kitewell {

// The album service's production origin ("https://host", no path), fixed when the build
// is configured; the running program has no way to change it.
QString productionOrigin();

} // namespace kitewell
