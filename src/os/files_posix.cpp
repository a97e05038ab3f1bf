#include "os/posix_backend.h"

namespace os::posix {
std::uint32_t fileAttributes(const std::u16string &) { return InvalidFileAttributes; }
bool copyFile(const std::u16string &, const std::u16string &) { return false; }
bool copyPermissions(const std::u16string &, const std::u16string &) { return true; }
}
