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

bool fileInUse(const std::u16string &nativePath)
{
    if (hasEmbeddedNul(nativePath))
        return false;
    // The access that reading a file and replacing it need, shared with
    // everybody: only a handle of another program that denies one of them
    // makes this open fail with a violation.
    const HANDLE file = CreateFileW(wide(nativePath), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool copyPermissions(const std::u16string &, const std::u16string &)
{
    return true;
}

} // namespace os
