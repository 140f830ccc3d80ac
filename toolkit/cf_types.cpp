#include "toolkit/cf_types.h"

#include <clocale>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <locale.h>
#include <wchar.h>
#include <wctype.h>

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one well-formed UTF-8 sequence at `text[pos]`; returns its length, or 0 when the bytes
// there are not one (truncated, overlong, surrogate, above U+10FFFF, stray continuation byte).
std::size_t decodeOne(std::string_view text, std::size_t pos, char32_t& out)
{
    const auto byte = [&](std::size_t i) { return std::uint8_t(text[pos + i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    std::size_t length;
    char32_t min;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, out = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, out = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, out = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - pos < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        out = (out << 6) | (byte(i) & 0x3F);
    }
    if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF))
        return 0;
    return length;
}

void appendUTF8(std::string& text, char32_t c)
{
    if (c < 0x80) {
        text += char(c);
    } else if (c < 0x800) {
        text += char(0xC0 | (c >> 6));
        text += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += char(0xE0 | (c >> 12));
        text += char(0x80 | ((c >> 6) & 0x3F));
        text += char(0x80 | (c & 0x3F));
    } else {
        text += char(0xF0 | (c >> 18));
        text += char(0x80 | ((c >> 12) & 0x3F));
        text += char(0x80 | ((c >> 6) & 0x3F));
        text += char(0x80 | (c & 0x3F));
    }
}

// Both locales are made once and never freed: they are read-only afterwards, so any thread may
// use them.
locale_t foldingLocale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return locale;
}

locale_t userCollationLocale()
{
    static const locale_t locale = [] {
        locale_t user = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "", locale_t(0));
        return user ? user : newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    }();
    return locale;
}

char32_t foldCase(char32_t c)
{
    if (const locale_t locale = foldingLocale())
        return char32_t(towlower_l(wint_t(c), locale));
    return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c;
}

// The text as code points (folded when asked). Valid UTF-8 is guaranteed by CFString.
std::wstring toWide(const CFString& s, bool fold)
{
    static_assert(sizeof(wchar_t) == 4, "wide strings hold whole code points");
    std::wstring wide;
    wide.reserve(s.size());
    const std::string_view text = s.utf8();
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t c = kReplacementCharacter;
        const std::size_t length = decodeOne(text, pos, c);
        pos += length ? length : 1;
        wide += wchar_t(fold ? foldCase(c) : c);
    }
    return wide;
}

CFComparisonResult sign(long long value)
{
    return value < 0 ? kCFCompareLessThan : value > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

}  // namespace

std::optional<CFString> CFString::fromUTF8(const char* utf8)
{
    if (!utf8)
        return std::nullopt;
    return fromUTF8(std::string_view(utf8));
}

std::optional<CFString> CFString::fromUTF8(std::string_view utf8)
{
    for (std::size_t pos = 0; pos < utf8.size();) {
        char32_t c;
        const std::size_t length = decodeOne(utf8, pos, c);
        if (length == 0)
            return std::nullopt;
        pos += length;
    }
    return CFString(std::string(utf8));
}

CFString CFString::fromBytesLossy(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        char32_t c;
        const std::size_t length = decodeOne(bytes, pos, c);
        if (length == 0) {
            appendUTF8(text, kReplacementCharacter);
            ++pos;
        } else {
            text.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return CFString(std::move(text));
}

CFString CFString::substringFrom(std::size_t offset) const
{
    return CFString(offset < mText.size() ? mText.substr(offset) : std::string());
}

void CFString::replaceAll(char from, char to)
{
    for (char& c : mText)
        if (c == from)
            c = to;
}

CFComparisonResult CFStringCompare(const CFString& a, const CFString& b, unsigned options)
{
    const bool fold = options & kCFCompareCaseInsensitive;
    const std::wstring wa = toWide(a, fold);
    const std::wstring wb = toWide(b, fold);
    if (options & kCFCompareLocalized) {
        if (const locale_t locale = userCollationLocale()) {
            // wcscoll stops at an embedded NUL; the code point order below breaks such ties.
            if (const int order = wcscoll_l(wa.c_str(), wb.c_str(), locale))
                return sign(order);
        }
    }
    return sign(wa.compare(wb));
}
