#include "os/posix_backend.h"

namespace os::posix {
ComInit initialiseCom() { return ComInit::Initialised; }
void uninitialiseCom() { }
}
