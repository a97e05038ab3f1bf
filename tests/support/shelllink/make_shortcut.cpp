// make_shortcut [--local-path PATH] [--environment-target TARGET] OUTPUT
// Writes a shell link (.lnk) file with the given targets; with neither, the
// link has no file-system target.
#include "shelllink.h"

#include "os/posix_backend.h"

#include <cstdio>
#include <cstring>

namespace {

int usage()
{
    std::fputs("usage: make_shortcut [--local-path PATH] [--environment-target TARGET] OUTPUT\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    shelllink::LinkContent content;
    const char *output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--local-path") == 0 && hasValue)
            content.localPath = os::posix::fromUtf8(argv[++i]);
        else if (std::strcmp(argv[i], "--environment-target") == 0 && hasValue)
            content.environmentTarget = os::posix::fromUtf8(argv[++i]);
        else if (argv[i][0] != '-' && !output)
            output = argv[i];
        else
            return usage();
    }
    if (!output)
        return usage();
    if (!shelllink::write(output, content)) {
        std::fprintf(stderr, "make_shortcut: cannot write %s\n", output);
        return 1;
    }
    return 0;
}
