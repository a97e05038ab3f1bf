#include "os/os.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <vector>

namespace os {

namespace {

// Owns one reference to a COM interface and releases it on destruction.
template<typename Interface>
class ComPtr
{
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (m_pointer)
            m_pointer->Release();
    }
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;

    Interface *operator->() const { return m_pointer; }
    // The slot an out-parameter call fills; only used while empty.
    void **out() { return reinterpret_cast<void **>(&m_pointer); }

private:
    Interface *m_pointer = nullptr;
};

// The length of the target buffer, in UTF-16 code units.
constexpr int TargetBufferLength = 32768;

} // namespace

std::optional<std::u16string> shellLinkTarget(const std::u16string &linkPath)
{
    // The shell only sees the path up to its first NUL; with one inside, it
    // would load some other file.
    if (linkPath.find(u'\0') != std::u16string::npos)
        return std::nullopt;

    // Declared in this order so that the IPersistFile reference is released
    // before the link object's.
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;

    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())))
        return std::nullopt;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.out())))
        return std::nullopt;
    if (FAILED(file->Load(reinterpret_cast<LPCOLESTR>(linkPath.c_str()), STGM_READ)))
        return std::nullopt;

    std::vector<wchar_t> buffer(TargetBufferLength, L'\0');
    if (FAILED(link->GetPath(buffer.data(), TargetBufferLength, nullptr, SLGP_RAWPATH)))
        return std::nullopt;
    buffer.back() = L'\0';
    return std::u16string(reinterpret_cast<const char16_t *>(buffer.data()));
}

} // namespace os
