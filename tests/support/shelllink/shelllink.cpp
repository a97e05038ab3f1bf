#include "shelllink.h"

#include <cstdio>
#include <memory>
#include <string_view>

namespace shelllink {
namespace {

constexpr std::uint32_t HeaderSize = 0x4C;
constexpr std::uint8_t LinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint32_t HasLinkInfo = 0x2;
constexpr std::uint32_t IsUnicode = 0x80;
constexpr std::uint32_t HasExpString = 0x200;
constexpr std::uint32_t FileAttributeNormal = 0x80;
constexpr std::uint32_t ShowNormal = 1;

constexpr std::uint32_t LinkInfoHeaderSize = 0x24;
constexpr std::uint32_t VolumeIdAndLocalBasePath = 0x1;
constexpr std::uint32_t DriveFixed = 3;

constexpr std::uint32_t EnvironmentBlockSize = 0x314;
constexpr std::uint32_t EnvironmentBlockSignature = 0xA0000001;
// Both targets of the environment block are fixed fields of MAX_PATH units.
constexpr std::size_t TargetUnits = 260;

class Writer
{
public:
    void u16(std::uint16_t value)
    {
        m_bytes.push_back(std::uint8_t(value));
        m_bytes.push_back(std::uint8_t(value >> 8));
    }
    void u32(std::uint32_t value)
    {
        u16(std::uint16_t(value));
        u16(std::uint16_t(value >> 16));
    }
    void bytes(const std::uint8_t *data, std::size_t size) { m_bytes.insert(m_bytes.end(), data, data + size); }
    void zeros(std::size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
    // The ANSI form of a text: what is not ASCII cannot be told without a code page.
    void ansi(std::u16string_view text)
    {
        for (const char16_t c : text)
            m_bytes.push_back(c < 0x80 ? std::uint8_t(c) : std::uint8_t('?'));
    }
    void unicode(std::u16string_view text)
    {
        for (const char16_t c : text)
            u16(c);
    }
    void patch32(std::size_t offset, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes[offset + std::size_t(i)] = std::uint8_t(value >> (8 * i));
    }
    std::size_t size() const { return m_bytes.size(); }
    std::vector<std::uint8_t> take() { return std::move(m_bytes); }

private:
    std::vector<std::uint8_t> m_bytes;
};

void writeHeader(Writer &out, const LinkContent &content)
{
    std::uint32_t flags = IsUnicode;
    if (content.localPath)
        flags |= HasLinkInfo;
    if (content.environmentTarget)
        flags |= HasExpString;
    out.u32(HeaderSize);
    out.bytes(LinkClsid, sizeof LinkClsid);
    out.u32(flags);
    out.u32(FileAttributeNormal);
    out.zeros(3 * 8); // creation, access and write times
    out.u32(0); // file size
    out.u32(0); // icon index
    out.u32(ShowNormal);
    out.u16(0); // hot key
    out.zeros(2 + 4 + 4); // reserved
}

void writeLinkInfo(Writer &out, std::u16string_view localPath)
{
    const std::size_t start = out.size();
    // The volume: a fixed drive with an empty label.
    const std::uint32_t volumeIdSize = 0x11;
    const std::uint32_t localBasePathOffset = LinkInfoHeaderSize + volumeIdSize;
    const std::uint32_t commonPathSuffixOffset = localBasePathOffset + std::uint32_t(localPath.size()) + 1;
    const std::uint32_t localBasePathOffsetUnicode = commonPathSuffixOffset + 1;
    const std::uint32_t commonPathSuffixOffsetUnicode = localBasePathOffsetUnicode + 2 * (std::uint32_t(localPath.size()) + 1);

    out.u32(0); // size, patched below
    out.u32(LinkInfoHeaderSize);
    out.u32(VolumeIdAndLocalBasePath);
    out.u32(LinkInfoHeaderSize); // the volume follows the header
    out.u32(localBasePathOffset);
    out.u32(0); // no network location
    out.u32(commonPathSuffixOffset);
    out.u32(localBasePathOffsetUnicode);
    out.u32(commonPathSuffixOffsetUnicode);

    out.u32(volumeIdSize);
    out.u32(DriveFixed);
    out.u32(0x1234ABCD); // serial number
    out.u32(0x10); // label offset
    out.zeros(1); // empty label

    out.ansi(localPath);
    out.zeros(1);
    out.zeros(1); // empty common path suffix
    out.unicode(localPath);
    out.u16(0);
    out.u16(0); // empty Unicode common path suffix

    out.patch32(start, std::uint32_t(out.size() - start));
}

void writeEnvironmentBlock(Writer &out, std::u16string_view target)
{
    out.u32(EnvironmentBlockSize);
    out.u32(EnvironmentBlockSignature);
    out.ansi(target);
    out.zeros(TargetUnits - target.size());
    out.unicode(target);
    out.zeros(2 * (TargetUnits - target.size()));
}

} // namespace

std::vector<std::uint8_t> build(const LinkContent &content)
{
    const auto holdsNul = [](const std::optional<std::u16string> &text) {
        return text && text->find(u'\0') != std::u16string::npos;
    };
    if (holdsNul(content.localPath) || holdsNul(content.environmentTarget))
        return {};
    if (content.environmentTarget && content.environmentTarget->size() >= TargetUnits)
        return {};

    Writer out;
    writeHeader(out, content);
    if (content.localPath)
        writeLinkInfo(out, *content.localPath);
    if (content.environmentTarget)
        writeEnvironmentBlock(out, *content.environmentTarget);
    out.u32(0); // terminal block
    return out.take();
}

bool write(const std::string &path, const LinkContent &content)
{
    const std::vector<std::uint8_t> bytes = build(content);
    if (bytes.empty())
        return false;
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file)
        return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return false;
    return std::fflush(file.get()) == 0;
}

} // namespace shelllink
