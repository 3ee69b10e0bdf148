#include "package/entry_name.h"

#include <zlib.h>

namespace
{
// Code page 437 from 0x80 on; below it is ASCII. A table rather than the
// system's conversion, so that every machine reads a name alike.
const uint16_t kCodePage437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

constexpr uint16_t kUtf8Flag = 1 << 11;
constexpr uint16_t kUnicodePathField = 0x7075;

uint16_t Le16(std::string_view s, size_t at)
{
    return (uint16_t)((unsigned char)s[at] | ((unsigned char)s[at + 1] << 8));
}

uint32_t Le32(std::string_view s, size_t at)
{
    return (uint32_t)Le16(s, at) | ((uint32_t)Le16(s, at + 2) << 16);
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();)
    {
        const unsigned char c = (unsigned char)s[i];
        const int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (more < 0 || s.size() - i <= (size_t)more)
            return false;
        uint32_t code = more == 0 ? c : more == 1 ? (c & 0x1F) : more == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= more; k++)
        {
            const unsigned char d = (unsigned char)s[i + k];
            if ((d & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (d & 0x3F);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += (size_t)more + 1;
    }
    return true;
}

std::string FromCodePage437(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size() * 2);
    for (char ch : raw)
    {
        const unsigned char c = (unsigned char)ch;
        const uint16_t code = c < 0x80 ? c : kCodePage437[c - 0x80];
        if (code < 0x80)
            out += (char)code;
        else if (code < 0x800)
        {
            out += (char)(0xC0 | (code >> 6));
            out += (char)(0x80 | (code & 0x3F));
        }
        else
        {
            out += (char)(0xE0 | (code >> 12));
            out += (char)(0x80 | ((code >> 6) & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// The name an Info-ZIP Unicode path field gives, when the extra field holds
// one that belongs to this raw name: version 1, the CRC-32 of the raw name,
// then the name in UTF-8.
bool UnicodePath(std::string_view raw, std::string_view extra, std::string& name)
{
    for (size_t at = 0; extra.size() - at >= 4;)
    {
        const uint16_t id = Le16(extra, at), size = Le16(extra, at + 2);
        if (size > extra.size() - at - 4)
            return false;
        const std::string_view field = extra.substr(at + 4, size);
        at += 4 + (size_t)size;
        if (id != kUnicodePathField || field.size() < 5 || field[0] != 1)
            continue;
        const uint32_t crc = (uint32_t)crc32_z(0, (const Bytef*)raw.data(), raw.size());
        const std::string_view unicode = field.substr(5);
        if (Le32(field, 1) != crc || unicode.empty() || !IsUtf8(unicode))
            return false;
        name = std::string(unicode);
        return true;
    }
    return false;
}
} // namespace

std::string ZipEntryName(std::string_view raw, uint16_t flags, std::string_view extra)
{
    std::string name;
    if (flags & kUtf8Flag)
        return IsUtf8(raw) ? std::string(raw) : FromCodePage437(raw);
    if (UnicodePath(raw, extra, name))
        return name;
    if (IsUtf8(raw))
        return std::string(raw);
    return FromCodePage437(raw);
}
