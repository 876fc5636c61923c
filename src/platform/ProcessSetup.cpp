#include "platform/ProcessSetup.h"

#include <csignal>

namespace kitewell {

void setUpProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace kitewell
