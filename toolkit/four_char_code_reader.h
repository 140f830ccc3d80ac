#pragma once
// Reading one byte of a four-character code from text, shared by `StrToOSType` and `FromText`.

#include <cstdint>

namespace brennick::toolkit {

enum class CodeByte {
    Read,     // a byte was read
    End,      // the text's terminator is next
    Invalid,  // a backslash not followed by "x" and a hexadecimal digit, or an escape cut short
};

inline int hexDigitValue(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads the byte that starts at `text` into `byte` and moves `text` past it: one character, or the
// four characters of an escape "\x" followed by one or two hexadecimal digits (with one digit, the
// fourth character is not a digit and is skipped). Never looks past the terminator.
inline CodeByte readCodeByte(const char*& text, std::uint8_t& byte) noexcept
{
    const char* p = text;
    if (p[0] == '\0')
        return CodeByte::End;
    if (p[0] != '\\') {
        byte = static_cast<std::uint8_t>(p[0]);
        text = p + 1;
        return CodeByte::Read;
    }
    if (p[1] != 'x')
        return CodeByte::Invalid;
    const int high = hexDigitValue(p[2]);
    if (high < 0 || p[3] == '\0')  // p[2] is not the terminator when it is a digit
        return CodeByte::Invalid;
    const int low = hexDigitValue(p[3]);
    byte = static_cast<std::uint8_t>(low < 0 ? high : high * 16 + low);
    text = p + 4;
    return CodeByte::Read;
}

}  // namespace brennick::toolkit
