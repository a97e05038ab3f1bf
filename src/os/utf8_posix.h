// Converting between the OS layer's UTF-16 paths and the UTF-8 names that the
// POSIX system calls take.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os::posix {

// A path for the system calls: UTF-8, or nothing when the text holds an
// unpaired surrogate or a NUL, which no file name can carry.
[[nodiscard]] std::optional<std::string> systemPath(std::u16string_view path);

// Decodes UTF-8; each byte that does not begin a valid sequence becomes U+FFFD.
[[nodiscard]] std::u16string fromUtf8(std::string_view text);

} // namespace os::posix
