#include "shelllink.h"

#include <fstream>
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
constexpr std::uint32_t VolumeIdSize = 0x11;
constexpr std::uint32_t DriveFixed = 3;
constexpr std::uint32_t EnvironmentBlockSize = 0x314;
constexpr std::uint32_t EnvironmentBlockSignature = 0xA0000001;
// Both targets of the environment block are fixed fields of MAX_PATH units.
constexpr std::size_t TargetUnits = 260;

// Little-endian fields appended to the bytes of a link.
struct Writer
{
    void u16(std::uint16_t value)
    {
        bytes.insert(bytes.end(), {std::uint8_t(value), std::uint8_t(value >> 8)});
    }
    void u32(std::uint32_t value)
    {
        u16(std::uint16_t(value));
        u16(std::uint16_t(value >> 16));
    }
    void zeros(std::size_t count) { bytes.insert(bytes.end(), count, 0); }
    // The ANSI form of a text: what is not ASCII cannot be told without a code page.
    void ansi(std::u16string_view text)
    {
        for (const char16_t c : text)
            bytes.push_back(c < 0x80 ? std::uint8_t(c) : std::uint8_t('?'));
    }
    void unicode(std::u16string_view text)
    {
        for (const char16_t c : text)
            u16(c);
    }

    std::vector<std::uint8_t> bytes;
};

void writeHeader(Writer &out, const LinkContent &content)
{
    out.u32(HeaderSize);
    out.bytes.insert(out.bytes.end(), std::begin(LinkClsid), std::end(LinkClsid));
    out.u32(IsUnicode | (content.localPath ? HasLinkInfo : 0)
            | (content.environmentTarget ? HasExpString : 0));
    out.u32(FileAttributeNormal);
    out.zeros(3 * 8 + 4 + 4); // creation, access and write times, file size, icon index
    out.u32(ShowNormal);
    out.zeros(2 + 2 + 4 + 4); // hot key, reserved
}

// The location information: a fixed drive with an empty label, and the path
// in its ANSI and Unicode forms, each followed by an empty common suffix.
void writeLinkInfo(Writer &out, std::u16string_view localPath)
{
    const auto length = std::uint32_t(localPath.size());
    const std::uint32_t localBasePathOffset = LinkInfoHeaderSize + VolumeIdSize;
    const std::uint32_t unicodeOffset = localBasePathOffset + length + 2;
    const std::uint32_t size = unicodeOffset + 2 * (length + 2);
    // Size, header size, flags; the offsets of the volume, the local path, the
    // (absent) network location, the common suffix, and the two Unicode fields.
    for (const std::uint32_t field :
         {size, LinkInfoHeaderSize, VolumeIdAndLocalBasePath, LinkInfoHeaderSize,
          localBasePathOffset, 0u, localBasePathOffset + length + 1, unicodeOffset,
          unicodeOffset + 2 * (length + 1)})
        out.u32(field);
    // The volume: its size, drive type, serial number and the offset of its label.
    for (const std::uint32_t field : {VolumeIdSize, DriveFixed, 0x1234ABCDu, 0x10u})
        out.u32(field);
    out.zeros(1); // empty label
    out.ansi(localPath);
    out.zeros(2);
    out.unicode(localPath);
    out.zeros(4);
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
    if (holdsNul(content.localPath) || holdsNul(content.environmentTarget)
        || (content.environmentTarget && content.environmentTarget->size() >= TargetUnits))
        return {};
    Writer out;
    writeHeader(out, content);
    if (content.localPath)
        writeLinkInfo(out, *content.localPath);
    if (content.environmentTarget)
        writeEnvironmentBlock(out, *content.environmentTarget);
    out.u32(0); // terminal block
    return std::move(out.bytes);
}

bool write(const std::string &path, const LinkContent &content)
{
    const std::vector<std::uint8_t> bytes = build(content);
    if (bytes.empty())
        return false;
    std::ofstream file(path, std::ios::binary);
    return file.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()))
            .flush()
            .good();
}

} // namespace shelllink
