#include "os/posix_backend.h"

#include "os/utf8_posix.h"

#include <liblnk.h>

#include <cerrno>
#include <vector>

#include <sys/stat.h>

namespace os::posix {
namespace {

// A liblnk error, freed when it leaves scope.
class LinkError
{
public:
    LinkError() = default;
    ~LinkError() { reset(); }
    LinkError(const LinkError &) = delete;
    LinkError &operator=(const LinkError &) = delete;

    liblnk_error_t **out()
    {
        reset();
        return &m_error;
    }

private:
    void reset()
    {
        if (m_error)
            liblnk_error_free(&m_error);
    }

    liblnk_error_t *m_error = nullptr;
};

// A liblnk file object, closed and freed when it leaves scope.
class LinkFile
{
public:
    LinkFile() = default;
    ~LinkFile()
    {
        LinkError error;
        if (m_open)
            liblnk_file_close(m_file, error.out());
        if (m_file)
            liblnk_file_free(&m_file, error.out());
    }
    LinkFile(const LinkFile &) = delete;
    LinkFile &operator=(const LinkFile &) = delete;

    [[nodiscard]] bool open(const std::string &path)
    {
        LinkError error;
        if (liblnk_file_initialize(&m_file, error.out()) != 1)
            return false;
        m_open = liblnk_file_open(m_file, path.c_str(), LIBLNK_OPEN_READ, error.out()) == 1;
        return m_open;
    }

    liblnk_file_t *get() const { return m_file; }

private:
    liblnk_file_t *m_file = nullptr;
    bool m_open = false;
};

using SizeGetter = int (*)(liblnk_file_t *, size_t *, liblnk_error_t **);
using StringGetter = int (*)(liblnk_file_t *, uint16_t *, size_t, liblnk_error_t **);

enum class Lookup { Found, Absent, Failed };

// One UTF-16 string of the link, up to its first NUL.
Lookup readString(liblnk_file_t *file, SizeGetter sizeOf, StringGetter get, std::u16string &value)
{
    LinkError error;
    size_t size = 0;
    const int known = sizeOf(file, &size, error.out());
    if (known < 0)
        return Lookup::Failed;
    if (known == 0 || size == 0)
        return Lookup::Absent;
    std::vector<uint16_t> buffer(size + 1, 0);
    if (get(file, buffer.data(), size, error.out()) != 1)
        return Lookup::Failed;
    value.clear();
    for (const uint16_t unit : buffer) {
        if (unit == 0)
            break;
        value += char16_t(unit);
    }
    return Lookup::Found;
}

Result<std::u16string> succeeded(std::u16string target)
{
    Result<std::u16string> result;
    result.value = std::move(target);
    return result;
}

} // namespace

Result<std::u16string> shellLinkTarget(const std::u16string &linkPath)
{
    Result<std::u16string> result;
    // liblnk keeps no system error: a link it cannot read is reported as
    // invalid data.
    result.error = EINVAL;
    const auto path = systemPath(linkPath);
    if (!path || path->empty())
        return result;
    // Only a regular file can be a link; opening a FIFO would block.
    struct stat info;
    if (::stat(path->c_str(), &info) != 0) {
        result.error = std::uint32_t(errno);
        return result;
    }
    if (!S_ISREG(info.st_mode))
        return result;
    LinkFile file;
    if (!file.open(*path))
        return result;

    // A target written with environment variables is the one the link
    // stores unexpanded; the local path is its expansion at the time.
    std::u16string target;
    switch (readString(file.get(), liblnk_file_get_utf16_environment_variables_location_size,
                       liblnk_file_get_utf16_environment_variables_location, target)) {
    case Lookup::Failed:
        return result;
    case Lookup::Found:
        if (!target.empty())
            return succeeded(std::move(target));
        break;
    case Lookup::Absent:
        break;
    }
    switch (readString(file.get(), liblnk_file_get_utf16_local_path_size,
                       liblnk_file_get_utf16_local_path, target)) {
    case Lookup::Failed:
        return result;
    case Lookup::Found:
        return succeeded(std::move(target));
    case Lookup::Absent:
        break;
    }
    return succeeded({});
}

} // namespace os::posix
