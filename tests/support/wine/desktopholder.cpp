// Keeps one Wine session alive while a test run goes on.
//
// Usage: desktopholder <ready file> <stop file> [lifetime in seconds]
//
// Started before the tests, it brings up everything that Wine starts on demand
// (the server, the desktop and COM helper processes) with its own standard
// handles, so that no test's output pipe is inherited by them. It touches the
// ready file once all of that is running and exits when the stop file appears
// or its lifetime (default 30 minutes) runs out. Both files are Unix paths,
// which Wine maps below drive Z:.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
        return 2;
    // Touches every service the tests use, so that Wine starts its helpers now.
    GetDesktopWindow();
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder);
    CloseHandle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        IShellLinkW *link = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link))))
            link->Release();
        CoUninitialize();
    }

    const std::wstring ready = L"Z:" + std::wstring(argv[1]);
    const std::wstring stop = L"Z:" + std::wstring(argv[2]);
    const HANDLE file = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(file);
    const ULONGLONG lifetimeMs = (argc > 3 ? std::wcstoull(argv[3], nullptr, 10) : 1800ULL) * 1000ULL;
    for (const ULONGLONG start = GetTickCount64(); GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() - start < lifetimeMs;)
        Sleep(100);
    return 0;
}
