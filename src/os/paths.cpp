#include "os/os.h"

namespace os {

std::u16string extendedLengthPath(const std::u16string &path)
{
    // The limit of the classic path functions, terminating NUL included.
    constexpr std::size_t MaxPath = 260;
    if (path.size() < MaxPath)
        return path;
    std::u16string native = path;
    for (char16_t &c : native) {
        if (c == u'/')
            c = u'\\';
    }
    // Already in a form that the path functions take as it stands.
    if (native.rfind(u"\\\\?\\", 0) == 0 || native.rfind(u"\\\\.\\", 0) == 0)
        return native;
    if (native.rfind(u"\\\\", 0) == 0)
        return u"\\\\?\\UNC\\" + native.substr(2);
    const bool drivePath = native.size() >= 3 && native[1] == u':' && native[2] == u'\\'
                           && ((native[0] >= u'A' && native[0] <= u'Z')
                               || (native[0] >= u'a' && native[0] <= u'z'));
    // A relative path has no extended form.
    return drivePath ? u"\\\\?\\" + native : path;
}

} // namespace os
