// make_shortcut --local-path PATH OUTPUT
// Makes a shortcut to PATH through the shell's link object, as Windows
// itself makes them.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4 || std::wcscmp(argv[1], L"--local-path") != 0) {
        std::fputws(L"usage: make_shortcut --local-path PATH OUTPUT\n", stderr);
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    const bool saved =
            SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IShellLinkW, reinterpret_cast<void **>(&link)))
            && SUCCEEDED(link->SetPath(argv[2]))
            && SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))
            && SUCCEEDED(file->Save(argv[3], TRUE));
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return saved ? 0 : 1;
}
