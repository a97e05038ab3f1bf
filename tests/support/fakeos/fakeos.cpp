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

ProcessSnapshot processSnapshot()
{
    ++g_counts.processSnapshot;
    return g_hooks.processSnapshot ? g_hooks.processSnapshot() : posix::processSnapshot();
}

std::optional<std::u16string> commonFolderPath(CommonFolder folder)
{
    return g_hooks.commonFolderPath ? g_hooks.commonFolderPath(folder) : posix::commonFolderPath(folder);
}

ComInit initialiseCom()
{
    ++g_counts.initialiseCom;
    return g_hooks.initialiseCom ? g_hooks.initialiseCom() : posix::initialiseCom();
}

void uninitialiseCom()
{
    ++g_counts.uninitialiseCom;
    posix::uninitialiseCom();
}

std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath)
{
    ++g_counts.shellLinkTarget;
    return g_hooks.shellLinkTarget ? g_hooks.shellLinkTarget(linkPath) : posix::shellLinkTarget(linkPath);
}

std::uint32_t fileAttributes(const std::u16string &nativePath)
{
    return g_hooks.fileAttributes ? g_hooks.fileAttributes(nativePath) : posix::fileAttributes(nativePath);
}

bool copyFile(const std::u16string &source, const std::u16string &destination)
{
    ++g_counts.copyFile;
    return g_hooks.copyFile ? g_hooks.copyFile(source, destination) : posix::copyFile(source, destination);
}

bool copyPermissions(const std::u16string &source, const std::u16string &destination)
{
    return g_hooks.copyPermissions ? g_hooks.copyPermissions(source, destination)
                                   : posix::copyPermissions(source, destination);
}

} // namespace os
