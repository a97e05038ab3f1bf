// A fake OS backend for tests: every call goes to the real POSIX backend unless
// the test has set a hook for it.
#pragma once

#include "os/os.h"

#include <functional>

namespace fakeos {

struct Hooks
{
    std::function<os::ProcessSnapshot()> processSnapshot;
    std::function<std::optional<std::u16string>(os::CommonFolder)> commonFolderPath;
    std::function<os::ComInit()> initialiseCom;
    std::function<std::optional<std::u16string>(const std::u16string &)> shellLinkTarget;
    std::function<std::uint32_t(const std::u16string &)> fileAttributes;
    std::function<bool(const std::u16string &, const std::u16string &)> copyFile;
    std::function<bool(const std::u16string &)> fileInUse;
    std::function<bool(const std::u16string &, const std::u16string &)> copyPermissions;
};

// How often each counted call was made since the last reset().
struct Counts
{
    int processSnapshot = 0;
    int uninitialiseCom = 0;
    int shellLinkTarget = 0;
    int copyFile = 0;
};

// The hooks in force; set members to replace calls.
Hooks &hooks();
const Counts &counts();
// Clears every hook and counter.
void reset();

} // namespace fakeos
