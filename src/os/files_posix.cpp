#include "os/posix_backend.h"

#include "os/descriptor_posix.h"
#include "os/utf8_posix.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os::posix {
namespace {

constexpr std::size_t ChunkSize = 1048576;
// The write permission bits, whose absence stands for the read-only attribute.
constexpr mode_t WriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

Status failure(int error)
{
    Status status;
    status.error = error != 0 ? std::uint32_t(error) : std::uint32_t(EIO);
    return status;
}

// Removes a temporary file when it leaves scope, unless it was kept.
class TemporaryFile
{
public:
    explicit TemporaryFile(std::string path)
        : m_path(std::move(path))
    { }
    ~TemporaryFile()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    void keep() { m_path.clear(); }

private:
    std::string m_path;
};

// Trailing slashes would make lstat() follow a link that the path names.
std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool isHiddenName(const std::string &path)
{
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.size() > 1 && name[0] == '.' && name != "..";
}

[[nodiscard]] bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

[[nodiscard]] bool copyContent(int from, int to, const Progress &progress)
{
    std::vector<char> buffer(ChunkSize);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!writeAll(to, buffer.data(), std::size_t(n)))
            return false;
        if (progress)
            progress();
    }
}

} // namespace

Result<std::uint32_t> fileAttributes(const std::u16string &nativePath)
{
    Result<std::uint32_t> result;
    const auto utf8 = systemPath(nativePath);
    if (!utf8 || utf8->empty()) {
        static_cast<Status &>(result) = failure(EINVAL);
        return result;
    }
    const std::string path = withoutTrailingSlashes(*utf8);

    struct stat entry;
    if (::lstat(path.c_str(), &entry) != 0) {
        static_cast<Status &>(result) = failure(errno);
        return result;
    }

    std::uint32_t attributes = 0;
    if (S_ISLNK(entry.st_mode)) {
        attributes |= ReparsePointAttribute;
        struct stat target;
        if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            attributes |= DirectoryAttribute;
    } else if (S_ISDIR(entry.st_mode)) {
        attributes |= DirectoryAttribute;
    } else if (!S_ISREG(entry.st_mode)) {
        // A socket, FIFO or device is no plain file: reading one may block or
        // have side effects, so it is marked like the other entries that
        // callers must not copy.
        attributes |= ReparsePointAttribute;
    } else if ((entry.st_mode & WriteBits) == 0) {
        attributes |= ReadOnlyAttribute;
    }
    if (isHiddenName(path))
        attributes |= HiddenAttribute;
    result.value = attributes == 0 ? NormalAttribute : attributes;
    return result;
}

// Only the read-only attribute has a POSIX form: no write permission for
// anybody. Clearing it gives the owner write permission back.
Status setFileAttributes(const std::u16string &nativePath, std::uint32_t attributes)
{
    const auto path = systemPath(nativePath);
    if (!path || path->empty())
        return failure(EINVAL);
    struct stat entry;
    if (::stat(path->c_str(), &entry) != 0)
        return failure(errno);
    mode_t mode = entry.st_mode & 07777;
    if (attributes & ReadOnlyAttribute)
        mode &= ~WriteBits;
    else if ((mode & WriteBits) == 0)
        mode |= S_IWUSR;
    if (mode != (entry.st_mode & 07777) && ::chmod(path->c_str(), mode) != 0)
        return failure(errno);
    return {};
}

// The copy goes to a new file beside the destination that then replaces it in
// one rename: a copy that fails part way leaves the former destination intact
// (a shortcut being restored is never left truncated), and readers never see
// a half-written file.
Status copyFileContent(const std::u16string &source, const std::u16string &destination,
                       const Progress &progress)
{
    const auto from = systemPath(source);
    const auto to = systemPath(destination);
    if (!from || !to || from->empty() || to->empty() || to->back() == '/')
        return failure(EINVAL);

    // Refuse anything but a regular file before opening it: opening a FIFO or
    // a device could block or act on the device.
    struct stat sourceInfo;
    if (::stat(from->c_str(), &sourceInfo) != 0)
        return failure(errno);
    if (!S_ISREG(sourceInfo.st_mode))
        return failure(EINVAL);
    Descriptor in(::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.get() < 0 || ::fstat(in.get(), &sourceInfo) != 0)
        return failure(errno);
    if (!S_ISREG(sourceInfo.st_mode))
        return failure(EINVAL);

    const auto slash = to->rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : to->substr(0, slash);
    const std::string name = slash == std::string::npos ? *to : to->substr(slash + 1);
    // Named after the destination so that a leftover is recognisable, but
    // short enough to stay within the file name limit.
    std::string temporary = folder + "/." + name.substr(0, 64) + ".XXXXXX";
    Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.get() < 0)
        return failure(errno);
    TemporaryFile cleanup(temporary);

    if (!copyContent(in.get(), out.get(), progress))
        return failure(errno);
    if (::fchmod(out.get(), sourceInfo.st_mode & 07777) != 0)
        return failure(errno);
    const struct timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
    if (::futimens(out.get(), times) != 0)
        return failure(errno);
    // Some file systems learn that the data does not fit only when it is
    // written out; the copy must not replace the destination before that.
    if (::fsync(out.get()) != 0)
        return failure(errno);
    if (!out.close())
        return failure(errno);
    // Fails when the destination is a folder, as the copy must.
    if (::rename(temporary.c_str(), to->c_str()) != 0)
        return failure(errno);
    cleanup.keep();
    return {};
}

// POSIX systems let any number of programs open a file, and a rename replaces
// a file that others hold open: a held file never fails a copy here.
Status copyFile(const std::u16string &source, const std::u16string &destination)
{
    return copyFileContent(source, destination, {});
}

} // namespace os::posix
