#include "os/os.h"

#include <windows.h>

namespace os {

namespace {

const wchar_t *wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

// Windows reads a path only up to its first NUL, so a path with one inside
// would name another file, one that a copy might overwrite.
bool hasEmbeddedNul(const std::u16string &path)
{
    return path.find(u'\0') != std::u16string::npos;
}

} // namespace

std::uint32_t fileAttributes(const std::u16string &nativePath)
{
    if (hasEmbeddedNul(nativePath)) {
        SetLastError(ERROR_INVALID_NAME);
        return InvalidFileAttributes;
    }
    return GetFileAttributesW(wide(nativePath));
}

bool copyFile(const std::u16string &source, const std::u16string &destination)
{
    if (hasEmbeddedNul(source) || hasEmbeddedNul(destination)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return CopyFileW(wide(source), wide(destination), FALSE) != 0;
}

bool copyPermissions(const std::u16string &, const std::u16string &)
{
    return true;
}

} // namespace os
