#include "os/posix_backend.h"

namespace os::posix {

// There is no COM here: shell links are read directly from their files.
ComInit initialiseCom()
{
    return ComInit::Initialised;
}

void uninitialiseCom() { }

} // namespace os::posix
