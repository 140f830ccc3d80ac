#pragma once
// Text forms of four-character codes: a display form, and an escaped form that reads back exactly.

#include "toolkit/audio_stream_basic_description.h"

// Bytes `CAStringForOSType` and `OSTypeToStr` may write, terminator included.
constexpr int kCAStringForOSTypeSize = 11;
constexpr int kOSTypeToStrSize = 17;

// Writes "'lpcm'" when all four bytes are printable (isprint, current locale) and none is a
// backslash, otherwise "0x" and eight uppercase hexadecimal digits. `writeLocation` holds at least
// `kCAStringForOSTypeSize` bytes. Returns `writeLocation`.
char* CAStringForOSType(OSType t, char* writeLocation) noexcept;

// Writes the four bytes, most significant first: 0x20 to 0x7E except the backslash as themselves,
// every other byte as "\xhh" (lowercase). `buffer` holds at least `kOSTypeToStrSize` bytes. Returns
// `buffer`.
char* OSTypeToStr(char* buffer, OSType t) noexcept;

// Reads a code from the start of the terminated text `str`: "\x" and one or two hexadecimal digits
// (an escape spanning four characters) or any other character make one byte; a text that ends
// after three bytes gets a space as the fourth. Returns the characters consumed (the terminator not
// counted), or 0 when the text holds no code: it ends before three bytes or inside an escape, or has
// a backslash not followed by "x" and a hexadecimal digit. `t` is written only on success.
int StrToOSType(const char* str, OSType& t) noexcept;
