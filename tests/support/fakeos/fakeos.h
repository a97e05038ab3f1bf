// A fake OS backend for tests: every call goes to the real POSIX backend unless
// the test has set a hook for it.
#pragma once

#include "os/os.h"

#include <functional>

namespace fakeos {

// One hook per call of the OS layer, of the call's own type.
struct Hooks
{
#define FAKEOS_HOOK(Type, name, parameters, arguments) std::function<Type parameters> name;
    UPDATER_OS_CALLS(FAKEOS_HOOK)
#undef FAKEOS_HOOK
};

// How often each call was made since the last reset().
struct Counts
{
#define FAKEOS_COUNT(Type, name, parameters, arguments) int name = 0;
    UPDATER_OS_CALLS(FAKEOS_COUNT)
#undef FAKEOS_COUNT
};

// Answers for hooks.
inline os::Status failed(std::uint32_t error)
{
    return os::Status{error};
}
template<typename T>
os::Result<T> succeeded(T value)
{
    os::Result<T> result;
    result.value = std::move(value);
    return result;
}
template<typename T>
os::Result<T> failedWith(std::uint32_t error)
{
    os::Result<T> result;
    result.error = error;
    return result;
}

// The hooks in force; set members to replace calls.
Hooks &hooks();
const Counts &counts();
// Clears every hook and counter.
void reset();

} // namespace fakeos
