#include "os/os.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <vector>

namespace os {

namespace {

constexpr DWORD ChunkSize = 1048576;

// Closes a file handle when it goes out of scope, unless closed before.
class FileHandle
{
public:
    explicit FileHandle(HANDLE handle)
        : m_handle(handle)
    { }
    ~FileHandle()
    {
        if (valid())
            CloseHandle(m_handle);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    // Closes now and reports whether the system took the last writes.
    [[nodiscard]] bool close()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

private:
    HANDLE m_handle;
};

// Deletes a file when it goes out of scope, unless kept.
class TemporaryFile
{
public:
    explicit TemporaryFile(std::u16string path)
        : m_path(std::move(path))
    { }
    ~TemporaryFile()
    {
        if (!m_path.empty())
            DeleteFileW(reinterpret_cast<const wchar_t *>(m_path.c_str()));
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    void keep() { m_path.clear(); }

private:
    std::u16string m_path;
};

// Windows reads a path only up to its first NUL, so a path with one inside
// would name another file, one that a copy might overwrite.
bool hasEmbeddedNul(const std::u16string &path)
{
    return path.find(u'\0') != std::u16string::npos;
}

// The path as the system calls take it: long paths in their extended form.
std::u16string systemPath(const std::u16string &path)
{
    return extendedLengthPath(path);
}

const wchar_t *wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

bool isHeldError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

Status failure(DWORD error)
{
    Status status;
    status.error = error != 0 ? error : ERROR_GEN_FAILURE;
    status.fileHeld = isHeldError(error);
    return status;
}

Status lastError()
{
    return failure(GetLastError());
}

std::u16string hex(unsigned long value)
{
    std::u16string digits;
    do {
        digits.insert(digits.begin(), u"0123456789abcdef"[value % 16]);
        value /= 16;
    } while (value != 0);
    return digits;
}

// A name for the copy beside the destination, unique within this process and
// unlikely to meet another's: the destination's name, the process and a count.
std::u16string temporaryPathBeside(const std::u16string &destination)
{
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = destination.find_last_of(u"\\/");
    const std::u16string folder =
            slash == std::u16string::npos ? u"." : destination.substr(0, slash);
    const std::u16string name =
            slash == std::u16string::npos ? destination : destination.substr(slash + 1);
    const std::u16string suffix =
            u"." + hex(GetCurrentProcessId()) + u"-" + hex(counter.fetch_add(1)) + u".tmp";
    // Short enough to stay within the file name limit.
    return folder + u"\\~" + name.substr(0, 64) + suffix;
}

} // namespace

Result<std::uint32_t> fileAttributes(const std::u16string &nativePath)
{
    Result<std::uint32_t> result;
    if (hasEmbeddedNul(nativePath)) {
        static_cast<Status &>(result) = failure(ERROR_INVALID_NAME);
        return result;
    }
    result.value = GetFileAttributesW(wide(systemPath(nativePath)));
    if (result.value == INVALID_FILE_ATTRIBUTES)
        static_cast<Status &>(result) = lastError();
    return result;
}

Status setFileAttributes(const std::u16string &nativePath, std::uint32_t attributes)
{
    if (hasEmbeddedNul(nativePath))
        return failure(ERROR_INVALID_NAME);
    attributes &= SettableAttributes;
    if (!SetFileAttributesW(wide(systemPath(nativePath)),
                            attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL))
        return lastError();
    return {};
}

Status copyFile(const std::u16string &source, const std::u16string &destination)
{
    if (hasEmbeddedNul(source) || hasEmbeddedNul(destination))
        return failure(ERROR_INVALID_NAME);
    if (!CopyFileW(wide(systemPath(source)), wide(systemPath(destination)), FALSE))
        return lastError();
    return {};
}

Status copyFileContent(const std::u16string &source, const std::u16string &destination,
                       const Progress &progress)
{
    if (hasEmbeddedNul(source) || hasEmbeddedNul(destination))
        return failure(ERROR_INVALID_NAME);

    // Shared as a program that reads a file shares it, so that a file another
    // program reads or writes can still be saved.
    FileHandle in(CreateFileW(wide(systemPath(source)), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid())
        return lastError();

    const std::u16string temporary = temporaryPathBeside(destination);
    // Declared before the handle, so that the handle is closed before the
    // file is deleted: Windows deletes no file that is open without sharing.
    std::optional<TemporaryFile> cleanup;
    FileHandle out(CreateFileW(wide(systemPath(temporary)), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out.valid())
        return lastError();
    cleanup.emplace(systemPath(temporary));

    std::vector<char> chunk(ChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), chunk.data(), ChunkSize, &read, nullptr))
            return lastError();
        if (read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(out.get(), chunk.data(), read, &written, nullptr))
            return lastError();
        if (written != read)
            return failure(ERROR_WRITE_FAULT);
        if (progress)
            progress();
    }
    // A full disk may show only when the data is written out; the copy must
    // not replace the destination before that.
    if (!FlushFileBuffers(out.get()) || !out.close())
        return lastError();

    if (!MoveFileExW(wide(systemPath(temporary)), wide(systemPath(destination)),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        Status status = failure(error);
        // Replacing a file that another program holds open without delete
        // sharing is refused as access denied, not as a sharing violation.
        // The caller has cleared a read-only attribute before; unless a folder
        // stands in the way, a held file is the likely reason, and the caller
        // waits for it only within its budget.
        if (error == ERROR_ACCESS_DENIED) {
            const DWORD existing = GetFileAttributesW(wide(systemPath(destination)));
            status.fileHeld =
                    existing == INVALID_FILE_ATTRIBUTES || !(existing & FILE_ATTRIBUTE_DIRECTORY);
        }
        return status;
    }
    cleanup->keep();
    return {};
}

} // namespace os
