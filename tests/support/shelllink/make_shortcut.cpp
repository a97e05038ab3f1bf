// make_shortcut [--local-path PATH] [--environment-target TARGET] OUTPUT
// Writes a shell link (.lnk) file with the given targets; with neither, the
// link has no file-system target.
#include "shelllink.h"

#include "os/utf8_posix.h"

#include <cstdio>
#include <string_view>

int main(int argc, char **argv)
{
    shelllink::LinkContent content;
    bool valid = argc % 2 == 0;
    for (int i = 1; valid && i + 2 < argc; i += 2) {
        const std::string_view option = argv[i];
        valid = option == "--local-path" || option == "--environment-target";
        if (valid)
            (option == "--local-path" ? content.localPath : content.environmentTarget) =
                    os::posix::fromUtf8(argv[i + 1]);
    }
    if (!valid || !shelllink::write(argv[argc - 1], content)) {
        std::fputs(
                "usage: make_shortcut [--local-path PATH] [--environment-target TARGET] OUTPUT\n",
                stderr);
        return 2;
    }
    return 0;
}
