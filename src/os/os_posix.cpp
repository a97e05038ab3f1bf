#include "os/posix_backend.h"

namespace os {

ProcessSnapshot processSnapshot() { return posix::processSnapshot(); }
std::optional<std::u16string> commonFolderPath(CommonFolder folder) { return posix::commonFolderPath(folder); }
ComInit initialiseCom() { return posix::initialiseCom(); }
void uninitialiseCom() { posix::uninitialiseCom(); }
std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath) { return posix::shellLinkTarget(linkPath); }
std::uint32_t fileAttributes(const std::u16string &nativePath) { return posix::fileAttributes(nativePath); }
bool copyFile(const std::u16string &source, const std::u16string &destination) { return posix::copyFile(source, destination); }
bool fileInUse(const std::u16string &nativePath) { return posix::fileInUse(nativePath); }
bool copyPermissions(const std::u16string &source, const std::u16string &destination) { return posix::copyPermissions(source, destination); }

} // namespace os
