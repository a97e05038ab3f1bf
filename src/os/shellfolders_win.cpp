#include "os/os.h"

#include <windows.h>
#include <shlobj.h>

namespace os {

std::optional<std::u16string> commonFolderPath(CommonFolder folder)
{
    const int csidl = folder == CommonFolder::Desktop ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_COMMON_PROGRAMS;
    wchar_t buffer[MAX_PATH] = {};
    // No CSIDL_FLAG_CREATE: a folder that does not exist is not made here.
    const HRESULT result = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    if (FAILED(result))
        return std::nullopt;
    // The shell may leave the buffer untouched; the zero fill then gives "".
    buffer[MAX_PATH - 1] = L'\0';
    return std::u16string(reinterpret_cast<const char16_t *>(buffer));
}

} // namespace os
