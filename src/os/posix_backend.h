// The POSIX stand-ins for the OS layer, under their own names so that a test's
// fake backend can fall back on them. Same contracts as os.h.
#pragma once

#include "os/os.h"

namespace os::posix {

[[nodiscard]] ProcessSnapshot processSnapshot();
[[nodiscard]] std::optional<std::u16string> commonFolderPath(CommonFolder folder);
[[nodiscard]] ComInit initialiseCom();
void uninitialiseCom();
[[nodiscard]] std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath);
[[nodiscard]] std::uint32_t fileAttributes(const std::u16string &nativePath);
[[nodiscard]] bool copyFile(const std::u16string &source, const std::u16string &destination);
[[nodiscard]] bool copyPermissions(const std::u16string &source, const std::u16string &destination);

} // namespace os::posix
