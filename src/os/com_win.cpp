#include "os/os.h"

#include <windows.h>
#include <objbase.h>

namespace os {

ComInit initialiseCom()
{
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // S_FALSE means the apartment already existed; it still needs its own
    // CoUninitialize to balance the count.
    if (SUCCEEDED(result))
        return ComInit::Initialised;
    if (result == RPC_E_CHANGED_MODE)
        return ComInit::ChangedMode;
    return ComInit::Failed;
}

void uninitialiseCom()
{
    CoUninitialize();
}

} // namespace os
