#include "os/utf8_posix.h"

namespace os::posix {
namespace {

constexpr char16_t ReplacementCharacter = 0xFFFD;

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

void appendUtf16(std::u16string &out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out += char16_t(0xD800 + (c >> 10));
        out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
        out += char16_t(c);
    }
}

// The length of the sequence that a lead byte begins, its payload bits and the
// smallest code point that the sequence may carry; length 0 for a byte that
// begins none.
struct Lead
{
    std::size_t length = 0;
    char32_t bits = 0;
    char32_t minimum = 0;
};

Lead readLead(unsigned char lead)
{
    if (lead < 0x80)
        return {1, lead, 0};
    if (lead >= 0xC2 && lead <= 0xDF)
        return {2, char32_t(lead & 0x1F), 0x80};
    if (lead >= 0xE0 && lead <= 0xEF)
        return {3, char32_t(lead & 0x0F), 0x800};
    if (lead >= 0xF0 && lead <= 0xF4)
        return {4, char32_t(lead & 0x07), 0x10000};
    return {};
}

// The code point of the sequence at the start of text, or nothing when it is
// cut short, overlong, a surrogate or beyond Unicode.
std::optional<char32_t> decodeSequence(std::string_view text, const Lead &lead)
{
    if (lead.length == 0 || lead.length > text.size())
        return std::nullopt;
    char32_t c = lead.bits;
    for (std::size_t k = 1; k < lead.length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[k]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < lead.minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    return c;
}

} // namespace

std::optional<std::string> systemPath(std::u16string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char32_t c = path[i];
        if (c == 0)
            return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= path.size() || path[i + 1] < 0xDC00 || path[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(path[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const Lead lead = readLead(static_cast<unsigned char>(text[i]));
        if (const std::optional<char32_t> c = decodeSequence(text.substr(i), lead)) {
            appendUtf16(out, *c);
            i += lead.length;
        } else {
            out += ReplacementCharacter;
            ++i;
        }
    }
    return out;
}

} // namespace os::posix
