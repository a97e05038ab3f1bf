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

Result<std::u16string> shellLinkTarget(const std::u16string &linkPath)
{
    Result<std::u16string> result;
    // The shell only sees the path up to its first NUL; with one inside, it
    // would load some other file.
    if (linkPath.find(u'\0') != std::u16string::npos) {
        result.error = ERROR_INVALID_NAME;
        return result;
    }

    // Declared in this order so that the IPersistFile reference is released
    // before the link object's.
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    std::vector<wchar_t> buffer(TargetBufferLength, L'\0');

    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.out());
    if (SUCCEEDED(hr))
        hr = link->QueryInterface(IID_IPersistFile, file.out());
    if (SUCCEEDED(hr))
        hr = file->Load(reinterpret_cast<LPCOLESTR>(linkPath.c_str()), STGM_READ);
    if (SUCCEEDED(hr))
        hr = link->GetPath(buffer.data(), TargetBufferLength, nullptr, SLGP_RAWPATH);
    if (FAILED(hr)) {
        result.error = std::uint32_t(hr);
        return result;
    }
    buffer.back() = L'\0';
    result.value = reinterpret_cast<const char16_t *>(buffer.data());
    return result;
}

} // namespace os
