#include "os/os.h"

#include <windows.h>
#include <tlhelp32.h>

#include <iterator>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows strings are UTF-16");

namespace os {

namespace {

// Closes a kernel handle when it goes out of scope.
class ScopedHandle
{
public:
    explicit ScopedHandle(HANDLE handle)
        : m_handle(handle)
    { }
    ~ScopedHandle()
    {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

} // namespace

ProcessSnapshot processSnapshot()
{
    ProcessSnapshot snapshot;
    const ScopedHandle handle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (handle.get() == INVALID_HANDLE_VALUE) {
        snapshot.error = GetLastError();
        return snapshot;
    }

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(handle.get(), &entry); more;
         more = Process32NextW(handle.get(), &entry)) {
        const auto *name = reinterpret_cast<const char16_t *>(entry.szExeFile);
        // Bounded by the array, should the system ever leave it unterminated.
        std::size_t length = 0;
        while (length < std::size(entry.szExeFile) && name[length] != u'\0')
            ++length;
        snapshot.entries.push_back({entry.th32ProcessID, std::u16string(name, length)});
    }
    const DWORD lastError = GetLastError();
    if (lastError != ERROR_NO_MORE_FILES)
        snapshot.error = lastError;
    return snapshot;
}

} // namespace os
