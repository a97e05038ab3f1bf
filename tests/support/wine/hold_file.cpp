// hold_file PATH MILLISECONDS [READY]
// Holds a file open without sharing it, as another Windows program (a virus
// scanner, an editor) may: nobody else can open, replace or delete it
// meanwhile. Once it holds the file it creates READY, if given.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 && argc != 4) {
        std::fputws(L"usage: hold_file PATH MILLISECONDS [READY]\n", stderr);
        return 2;
    }
    const HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    if (argc == 4) {
        const HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE)
            return 1;
        CloseHandle(ready);
    }
    Sleep(DWORD(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(held);
    return 0;
}
