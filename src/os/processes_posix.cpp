#include "os/posix_backend.h"

#include "os/descriptor_posix.h"
#include "os/utf8_posix.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace os::posix {
namespace {

// The kernel keeps at most this many bytes of a command name.
constexpr std::size_t TruncatedCommandLength = 15;

// Closes a directory stream when it leaves scope.
class DirectoryStream
{
public:
    explicit DirectoryStream(DIR *dir)
        : m_dir(dir)
    { }
    ~DirectoryStream()
    {
        if (m_dir)
            ::closedir(m_dir);
    }
    DirectoryStream(const DirectoryStream &) = delete;
    DirectoryStream &operator=(const DirectoryStream &) = delete;

    DIR *get() const { return m_dir; }

private:
    DIR *m_dir;
};

// The pid that a /proc entry names, or 0 for entries that are not processes.
std::uint32_t pidFromName(const char *name)
{
    std::uint64_t pid = 0;
    if (*name == '\0')
        return 0;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        pid = pid * 10 + std::uint64_t(*p - '0');
        if (pid > 0xFFFFFFFFu)
            return 0;
    }
    return std::uint32_t(pid);
}

// "<pid>/<file>", relative to /proc.
struct ProcPath
{
    char text[64];

    [[nodiscard]] bool set(const char *pidName, const char *file)
    {
        const std::size_t nameLength = std::strlen(pidName);
        const std::size_t fileLength = std::strlen(file);
        if (nameLength + 1 + fileLength + 1 > sizeof text)
            return false;
        std::memcpy(text, pidName, nameLength);
        text[nameLength] = '/';
        std::memcpy(text + nameLength + 1, file, fileLength + 1);
        return true;
    }
};

// Reads what fits of a small /proc file of one process; -1 when the process
// is gone or the file cannot be read.
ssize_t readProcFile(int procFd, const char *pidName, const char *file, char *buffer,
                     std::size_t size)
{
    ProcPath path;
    if (!path.set(pidName, file))
        return -1;
    const Descriptor fd(::openat(procFd, path.text, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return -1;
    // These files are generated whole on the first read: one call gets all
    // that fits, and a second would only cost the poll another system call.
    ssize_t n;
    do
        n = ::read(fd.get(), buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

std::string_view baseName(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The full file name behind a command name the kernel has cut short: the
// executable's own name, or for a script (whose executable is the interpreter)
// the script argument; the command name itself when neither continues it.
std::string untruncatedName(int procFd, const char *pidName, std::string_view command)
{
    char path[4096];
    ProcPath link;
    const ssize_t linkLength =
            link.set(pidName, "exe") ? ::readlinkat(procFd, link.text, path, sizeof path) : -1;
    if (linkLength > 0 && std::size_t(linkLength) < sizeof path) {
        std::string_view target(path, std::size_t(linkLength));
        constexpr std::string_view deleted = " (deleted)";
        if (target.size() > deleted.size()
            && target.substr(target.size() - deleted.size()) == deleted)
            target.remove_suffix(deleted.size());
        const std::string_view name = baseName(target);
        if (startsWith(name, command))
            return std::string(name);
    }

    const ssize_t length = readProcFile(procFd, pidName, "cmdline", path, sizeof path);
    if (length > 0) {
        const std::string_view arguments(path, std::size_t(length));
        // The first argument is the interpreter; an option may stand before the script.
        std::size_t start = arguments.find('\0');
        while (start != std::string_view::npos && start + 1 < arguments.size()) {
            ++start;
            const std::size_t end = std::min(arguments.find('\0', start), arguments.size());
            const std::string_view name = baseName(arguments.substr(start, end - start));
            if (startsWith(name, command))
                return std::string(name);
            start = end;
        }
    }
    return std::string(command);
}

} // namespace

ProcessSnapshot processSnapshot()
{
    ProcessSnapshot snapshot;
    const DirectoryStream proc(::opendir("/proc"));
    if (!proc.get()) {
        snapshot.error = std::uint32_t(errno);
        return snapshot;
    }
    const int procFd = ::dirfd(proc.get());

    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(proc.get());
        if (!entry) {
            snapshot.error = std::uint32_t(errno);
            break;
        }
        const std::uint32_t pid = pidFromName(entry->d_name);
        if (pid == 0)
            continue;

        char stat[512];
        const ssize_t length = readProcFile(procFd, entry->d_name, "stat", stat, sizeof stat);
        if (length <= 0)
            continue; // ended while we walked
        const std::string_view line(stat, std::size_t(length));
        // The name may itself hold parentheses and spaces; the last ")" ends it.
        const std::size_t open = line.find('(');
        const std::size_t close = line.rfind(')');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open
            || close + 2 >= line.size())
            continue;
        const char state = line[close + 2];
        // An ended process that is not yet reaped no longer runs.
        if (state == 'Z' || state == 'X' || state == 'x')
            continue;

        const std::string_view command = line.substr(open + 1, close - open - 1);
        ProcessEntry process;
        process.pid = pid;
        if (command.size() == TruncatedCommandLength)
            process.executableName = fromUtf8(untruncatedName(procFd, entry->d_name, command));
        else
            process.executableName = fromUtf8(command);
        snapshot.entries.push_back(std::move(process));
    }

    return snapshot;
}

} // namespace os::posix
