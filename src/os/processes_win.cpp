#include "os/os.h"

#include <windows.h>
#include <tlhelp32.h>

namespace os {

namespace {

// Closes a kernel handle when it goes out of scope.
class ScopedHandle
{
public:
    explicit ScopedHandle(HANDLE handle)
        : m_handle(handle)
    {
    }
    ~ScopedHandle()
    {
        if (valid())
            CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

} // namespace

ProcessSnapshot processSnapshot()
{
    ProcessSnapshot snapshot;
    const ScopedHandle handle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!handle.valid()) {
        snapshot.error = GetLastError();
        return snapshot;
    }

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(handle.get(), &entry); more; more = Process32NextW(handle.get(), &entry)) {
        // szExeFile is NUL-terminated within its fixed array.
        const auto *name = reinterpret_cast<const char16_t *>(entry.szExeFile);
        snapshot.entries.push_back({entry.th32ProcessID, std::u16string(name)});
    }
    const DWORD lastError = GetLastError();
    if (lastError != ERROR_NO_MORE_FILES)
        snapshot.error = lastError;
    return snapshot;
}

} // namespace os
