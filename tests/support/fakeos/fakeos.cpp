#include "fakeos.h"

#include "os/posix_backend.h"

namespace fakeos {
namespace {
Hooks g_hooks;
Counts g_counts;
} // namespace

Hooks &hooks()
{
    return g_hooks;
}
const Counts &counts()
{
    return g_counts;
}
void reset()
{
    g_hooks = Hooks();
    g_counts = Counts();
}

} // namespace fakeos

namespace os {

// The test's hook when it has set one, the POSIX backend otherwise.
#define FAKEOS_DEFINE(Type, name, parameters, arguments) \
    Type name parameters \
    { \
        ++fakeos::g_counts.name; \
        return fakeos::g_hooks.name ? fakeos::g_hooks.name arguments : posix::name arguments; \
    }
UPDATER_OS_CALLS(FAKEOS_DEFINE)

} // namespace os
