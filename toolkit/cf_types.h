#pragma once
// Small owning string and string-array values for the toolkit's catalogue and path helpers.
// A `CFString` always holds valid UTF-8; the factories below refuse anything else, so every
// comparison can decode it without error paths. Both types copy and move like std::string.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Comparison results, as the three-way string comparisons return them.
enum CFComparisonResult : int { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };

// Comparison options (bit set). Only these two are supported.
enum : unsigned {
    kCFCompareCaseInsensitive = 1,  // letters compare by their lower-case form
    kCFCompareLocalized = 32,       // order by the user's collation rules instead of code points
};

class CFString {
public:
    // The empty string.
    CFString() = default;

    // Copies `utf8` when it is well-formed UTF-8 (no overlong forms, surrogates or code points
    // above U+10FFFF); nullopt otherwise. A null pointer also gives nullopt.
    static std::optional<CFString> fromUTF8(const char* utf8);
    static std::optional<CFString> fromUTF8(std::string_view utf8);

    // Decodes `bytes` as UTF-8, replacing each byte that does not start a well-formed sequence by
    // U+FFFD. Never fails; the result is for display, not for finding the file again.
    static CFString fromBytesLossy(std::string_view bytes);

    // The text as UTF-8 bytes (never with invalid sequences).
    const std::string& utf8() const noexcept { return mText; }
    const char* c_str() const noexcept { return mText.c_str(); }
    // Length in bytes of the UTF-8 form.
    std::size_t size() const noexcept { return mText.size(); }
    bool empty() const noexcept { return mText.empty(); }

    // Byte offset of the last occurrence of the ASCII character `c`, or npos.
    std::size_t findLast(char c) const noexcept { return mText.rfind(c); }
    // The text from byte `offset` (at a character boundary) to the end.
    CFString substringFrom(std::size_t offset) const;
    // Replaces every ASCII character `from` by the ASCII character `to`.
    void replaceAll(char from, char to);

    friend bool operator==(const CFString&, const CFString&) = default;

private:
    explicit CFString(std::string text) : mText(std::move(text)) {}
    std::string mText;
};

// Three-way comparison of two strings with `options` (kCFCompareCaseInsensitive and/or
// kCFCompareLocalized). Case-insensitive comparison folds each character to lower case by the
// Unicode simple mappings of the C library's "C.UTF-8" locale (ASCII only if that locale is
// missing), so it does not depend on the user's language. Localized comparison collates the
// (folded, when asked) texts with wcscoll_l in the user's locale, read once from the environment
// (LC_ALL, LC_COLLATE, LANG) the way setlocale(LC_ALL, "") would, without changing the process's
// global locale; it falls back to code point order when that locale is unavailable.
CFComparisonResult CFStringCompare(const CFString& a, const CFString& b, unsigned options);

// An owning array of strings.
using CFStringArray = std::vector<CFString>;
