#include "os/posix_backend.h"

namespace os::posix {
std::optional<std::u16string> shellLinkTarget(const std::u16string &) { return std::nullopt; }
}
