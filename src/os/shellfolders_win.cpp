#include "os/os.h"

#include <windows.h>
#include <shlobj.h>

namespace os {

Result<std::u16string> commonFolderPath(CommonFolder folder)
{
    const int csidl =
            folder == CommonFolder::Desktop ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_COMMON_PROGRAMS;
    wchar_t buffer[MAX_PATH] = {};
    // No CSIDL_FLAG_CREATE: a folder that does not exist is not made here.
    const HRESULT result = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    Result<std::u16string> path;
    if (FAILED(result)) {
        path.error = std::uint32_t(result);
        return path;
    }
    // The shell may leave the buffer untouched; the zero fill then gives "".
    buffer[MAX_PATH - 1] = L'\0';
    path.value = reinterpret_cast<const char16_t *>(buffer);
    return path;
}

} // namespace os
