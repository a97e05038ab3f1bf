// The POSIX stand-ins for the OS layer's calls, under their own names
// (os::posix), so that a test's fake backend can fall back on them; os_posix.cpp
// makes them the os:: calls. Same contracts as os.h.
#pragma once

#include "os/os.h"

namespace os::posix {

UPDATER_OS_CALLS(UPDATER_OS_DECLARE)

} // namespace os::posix
