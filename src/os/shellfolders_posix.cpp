#include "os/posix_backend.h"

namespace os::posix {

// There are no folders shared by all users here: the user's own desktop and
// applications folders, which the toolkit reports, are the standard ones.
std::optional<std::u16string> commonFolderPath(CommonFolder)
{
    return std::nullopt;
}

} // namespace os::posix
