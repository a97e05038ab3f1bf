#include "wintestsupport.h"

#include <objbase.h>
#include <shlobj.h>

namespace wintest {

HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target)
{
    IShellLinkW *link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link));
    if (FAILED(result))
        return result;
    IPersistFile *file = nullptr;
    result = link->SetPath(target.c_str());
    if (SUCCEEDED(result))
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (SUCCEEDED(result))
        result = file->Save(linkPath.c_str(), TRUE);
    if (file)
        file->Release();
    link->Release();
    return result;
}

} // namespace wintest
