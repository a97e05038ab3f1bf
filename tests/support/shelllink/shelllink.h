// Writes shell link (.lnk) files in the Windows binary format, for tests and
// demos that need shortcuts without a Windows shell to make them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace shelllink {

// What a link stores. With neither field set the link has no file-system
// target at all.
struct LinkContent
{
    // The target as a local path, kept in the link's location information.
    std::optional<std::u16string> localPath;
    // The target written with environment variables (e.g. "%ProgramFiles%\\x.exe"),
    // kept unexpanded in an environment-variable data block; at most 259 units.
    std::optional<std::u16string> environmentTarget;
};

// The bytes of the link; empty when the content cannot be stored (an environment
// target too long for its block, or a text holding a NUL).
[[nodiscard]] std::vector<std::uint8_t> build(const LinkContent &content);

// Writes build(content) to the file at a UTF-8 path; false when nothing could be
// built or the file could not be written.
[[nodiscard]] bool write(const std::string &path, const LinkContent &content);

} // namespace shelllink
