#include "storage/ServiceOrigin.h"

namespace kitewell {

QString productionOrigin() {
    return QStringLiteral(KITEWELL_SERVICE_ORIGIN);
}

} // namespace kitewell
