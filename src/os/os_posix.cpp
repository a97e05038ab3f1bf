#include "os/posix_backend.h"

namespace os {

#define UPDATER_OS_FORWARD(Type, name, parameters, arguments) \
    Type name parameters \
    { \
        return posix::name arguments; \
    }
UPDATER_OS_CALLS(UPDATER_OS_FORWARD)

} // namespace os
