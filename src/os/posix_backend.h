// The POSIX stand-ins for the OS layer, under their own names so that a test's
// fake backend can fall back on them. Same contracts as os.h.
#pragma once

#include "os/os.h"

#include <string>
#include <string_view>

namespace os::posix {

[[nodiscard]] ProcessSnapshot processSnapshot();
[[nodiscard]] std::optional<std::u16string> commonFolderPath(CommonFolder folder);
[[nodiscard]] ComInit initialiseCom();
void uninitialiseCom();
[[nodiscard]] std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath);
[[nodiscard]] std::uint32_t fileAttributes(const std::u16string &nativePath);
[[nodiscard]] bool copyFile(const std::u16string &source, const std::u16string &destination);
[[nodiscard]] bool fileInUse(const std::u16string &nativePath);
[[nodiscard]] bool copyPermissions(const std::u16string &source, const std::u16string &destination);

// A path for the system calls: UTF-8, or nothing when the text holds an
// unpaired surrogate or a NUL, which no file name can carry.
[[nodiscard]] std::optional<std::string> systemPath(std::u16string_view path);

// Decodes UTF-8; each byte that does not begin a valid sequence becomes U+FFFD.
[[nodiscard]] std::u16string fromUtf8(std::string_view text);

} // namespace os::posix
