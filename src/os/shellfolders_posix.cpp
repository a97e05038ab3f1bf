#include "os/posix_backend.h"

namespace os::posix {
std::optional<std::u16string> commonFolderPath(CommonFolder) { return std::nullopt; }
}
