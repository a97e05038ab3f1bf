#include "fakeos.h"

#include "os/posix_backend.h"

namespace fakeos {
namespace {
Hooks g_hooks;
Counts g_counts;
} // namespace

Hooks &hooks() { return g_hooks; }
const Counts &counts() { return g_counts; }
void reset()
{
    g_hooks = Hooks();
    g_counts = Counts();
}

} // namespace fakeos

namespace os {

using fakeos::g_counts;
using fakeos::g_hooks;
using std::u16string;

// The test's hook when it has set one, the POSIX backend otherwise.
template<typename Hook, typename Real, typename... Arguments>
auto call(const Hook &hook, Real real, const Arguments &...arguments)
{
    return hook ? hook(arguments...) : real(arguments...);
}

ProcessSnapshot processSnapshot()
{
    ++g_counts.processSnapshot;
    return call(g_hooks.processSnapshot, posix::processSnapshot);
}
std::optional<u16string> commonFolderPath(CommonFolder folder) { return call(g_hooks.commonFolderPath, posix::commonFolderPath, folder); }
ComInit initialiseCom() { return call(g_hooks.initialiseCom, posix::initialiseCom); }
void uninitialiseCom()
{
    ++g_counts.uninitialiseCom;
    posix::uninitialiseCom();
}
std::optional<u16string> shellLinkTarget(const u16string &link)
{
    ++g_counts.shellLinkTarget;
    return call(g_hooks.shellLinkTarget, posix::shellLinkTarget, link);
}
std::uint32_t fileAttributes(const u16string &path) { return call(g_hooks.fileAttributes, posix::fileAttributes, path); }
bool copyFile(const u16string &from, const u16string &to)
{
    ++g_counts.copyFile;
    return call(g_hooks.copyFile, posix::copyFile, from, to);
}
bool fileInUse(const u16string &path) { return call(g_hooks.fileInUse, posix::fileInUse, path); }
bool copyPermissions(const u16string &from, const u16string &to) { return call(g_hooks.copyPermissions, posix::copyPermissions, from, to); }

} // namespace os
