// Linked into the stand-ins built for Windows: the C runtime would turn each
// "\n" written to standard output or error into "\r\n", and the stand-ins
// write their bytes as given, as they do on Linux.
#include <cstdio>

#include <fcntl.h>
#include <io.h>

namespace {

[[maybe_unused]] const bool binaryOutput =
        _setmode(_fileno(stdout), _O_BINARY) != -1 && _setmode(_fileno(stderr), _O_BINARY) != -1;

} // namespace
