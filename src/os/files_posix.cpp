#include "os/posix_backend.h"

#include "os/descriptor_posix.h"

#include <cerrno>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os::posix {
namespace {

constexpr std::uint32_t HiddenAttribute = 0x2u;
constexpr std::uint32_t NormalAttribute = 0x80u;

// Removes a temporary file when it leaves scope, unless it was kept.
class TemporaryFile
{
public:
    explicit TemporaryFile(std::string path)
        : m_path(std::move(path))
    {
    }
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

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

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

[[nodiscard]] bool copyContent(int from, int to)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!writeAll(to, buffer, std::size_t(n)))
            return false;
    }
}

} // namespace

std::optional<std::string> systemPath(std::u16string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char32_t c = path[i];
        if (c == 0)
            return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= path.size() || path[i + 1] < 0xDC00 || path[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(path[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out += char16_t(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (next & 0x3F);
        }
        if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out += char16_t(0xFFFD);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += length;
    }
    return out;
}

std::uint32_t fileAttributes(const std::u16string &nativePath)
{
    const auto utf8 = systemPath(nativePath);
    if (!utf8 || utf8->empty())
        return InvalidFileAttributes;
    const std::string path = withoutTrailingSlashes(*utf8);

    struct stat entry;
    if (::lstat(path.c_str(), &entry) != 0)
        return InvalidFileAttributes;

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
    }
    if (isHiddenName(path))
        attributes |= HiddenAttribute;
    return attributes == 0 ? NormalAttribute : attributes;
}

// The copy goes to a new file beside the destination that then replaces it in
// one rename: a copy that fails part way leaves the former destination intact
// (a shortcut being restored is never left truncated), and readers never see
// a half-written file.
bool copyFile(const std::u16string &source, const std::u16string &destination)
{
    const auto from = systemPath(source);
    const auto to = systemPath(destination);
    if (!from || !to || from->empty() || to->empty() || to->back() == '/')
        return false;

    // Refuse anything but a regular file before opening it: opening a FIFO or
    // a device could block or act on the device.
    struct stat sourceInfo;
    if (::stat(from->c_str(), &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode))
        return false;
    Descriptor in(::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.get() < 0 || ::fstat(in.get(), &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode))
        return false;

    const auto slash = to->rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : to->substr(0, slash);
    const std::string name = slash == std::string::npos ? *to : to->substr(slash + 1);
    // Named after the destination so that a leftover is recognisable, but
    // short enough to stay within the file name limit.
    std::string temporary = folder + "/." + name.substr(0, 64) + ".XXXXXX";
    Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.get() < 0)
        return false;
    TemporaryFile cleanup(temporary);

    if (!copyContent(in.get(), out.get()))
        return false;
    if (::fchmod(out.get(), sourceInfo.st_mode & 07777) != 0)
        return false;
    const struct timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
    if (::futimens(out.get(), times) != 0)
        return false;
    // Some file systems learn that the data does not fit only when it is
    // written out; the copy must not replace the destination before that.
    if (::fsync(out.get()) != 0)
        return false;
    if (!out.close())
        return false;
    // Fails when the destination is a folder, as the copy must.
    if (::rename(temporary.c_str(), to->c_str()) != 0)
        return false;
    cleanup.keep();
    return true;
}

// POSIX systems let any number of programs open a file, and a rename replaces
// a file that others hold open.
bool fileInUse(const std::u16string &)
{
    return false;
}

bool copyPermissions(const std::u16string &source, const std::u16string &destination)
{
    const auto from = systemPath(source);
    const auto to = systemPath(destination);
    if (!from || !to)
        return false;
    struct stat sourceInfo;
    if (::stat(from->c_str(), &sourceInfo) != 0)
        return false;
    return ::chmod(to->c_str(), sourceInfo.st_mode & 07777) == 0;
}

} // namespace os::posix
