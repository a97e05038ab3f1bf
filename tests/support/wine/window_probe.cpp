// window_probe [STOP]
// Asks the update window what Windows asks a program's windows, and says on a
// line that it has found it. With STOP: sends it WM_NULL every 100 ms, waiting
// 200 ms at most for the answer, until the file STOP exists; then prints the
// longest time from a message that went unanswered until an answer came, in
// milliseconds, the messages sent and those unanswered. Without: asks whether
// the session may end, prints the answer and tells the window the outcome, as
// Windows does.
#include <windows.h>

#include <algorithm>
#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    HWND window = nullptr;
    for (int wait = 0; !(window = FindWindowW(nullptr, L"Обновление Corvatone")) && wait < 600;
         ++wait)
        Sleep(100);
    if (!window)
        return 1;
    std::puts("found");
    std::fflush(stdout);
    DWORD_PTR answer = 0;
    if (argc == 1) {
        if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer))
            return 1;
        std::printf("%d\n", int(answer));
        SendMessageTimeoutW(window, WM_ENDSESSION, answer != 0, 0, SMTO_NORMAL, 10000, nullptr);
        return 0;
    }
    ULONGLONG silentSince = 0, longest = 0;
    int sent = 0, unanswered = 0;
    for (; GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES; ++sent, Sleep(100)) {
        const ULONGLONG now = GetTickCount64();
        const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 200, &answer);
        if (!answered && !silentSince)
            silentSince = now;
        unanswered += answered ? 0 : 1;
        if (silentSince)
            longest = std::max(longest, GetTickCount64() - silentSince);
        silentSince = answered ? 0 : silentSince;
    }
    std::printf("%llu %d %d\n", longest, sent, unanswered);
    return 0;
}
