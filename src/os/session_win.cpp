#include "os/os.h"

#include <windows.h>

namespace os {
namespace {

Status lastError()
{
    Status status;
    status.error = GetLastError();
    if (status.error == 0)
        status.error = ERROR_GEN_FAILURE;
    return status;
}

} // namespace

Status blockShutdown(WindowId window, const std::u16string &reason)
{
    if (!ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window),
                                   reinterpret_cast<const wchar_t *>(reason.c_str())))
        return lastError();
    return {};
}

Status unblockShutdown(WindowId window)
{
    if (!ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window)))
        return lastError();
    return {};
}

} // namespace os
