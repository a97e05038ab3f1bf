// Keeps one Wine session alive while a test run goes on.
//
// Usage: desktopholder <ready file> <stop file> [lifetime in seconds]
//
// Started before the tests, it brings up everything that Wine starts on demand
// (the server, the desktop and COM helper processes) with its own standard
// handles, so that no test's output pipe is inherited by them. It touches the
// ready file once all of that is running and exits when the stop file appears
// or its lifetime (default 30 minutes) runs out.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>

namespace {

// Wine maps the Unix root to drive Z:, so a Unix path becomes Z:\...
std::wstring windowsPath(const wchar_t *path)
{
    std::wstring result(path);
    if (!result.empty() && result.front() == L'/')
        result.insert(0, L"Z:");
    for (wchar_t &c : result) {
        if (c == L'/')
            c = L'\\';
    }
    return result;
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Touches every service the tests use, so that Wine starts its helpers now.
void warmUp()
{
    GetDesktopWindow();

    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder);
    SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, folder);

    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);

    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        IShellLinkW *link = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void **>(&link)))) {
            link->Release();
        }
        CoUninitialize();
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
        return 2;
    const std::wstring readyFile = windowsPath(argv[1]);
    const std::wstring stopFile = windowsPath(argv[2]);
    const ULONGLONG lifetimeMs = (argc > 3 ? std::wcstoull(argv[3], nullptr, 10) : 1800ULL) * 1000ULL;

    warmUp();

    const HANDLE ready = CreateFileW(readyFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(ready);

    const ULONGLONG start = GetTickCount64();
    while (!exists(stopFile) && GetTickCount64() - start < lifetimeMs)
        Sleep(100);
    return 0;
}
