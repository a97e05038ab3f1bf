#include "os/posix_backend.h"

#include <cerrno>

namespace os::posix {

// There are no folders shared by all users here: the user's own desktop and
// applications folders, which the toolkit reports, are the standard ones.
Result<std::u16string> commonFolderPath(CommonFolder)
{
    Result<std::u16string> result;
    result.error = ENOENT;
    return result;
}

} // namespace os::posix
