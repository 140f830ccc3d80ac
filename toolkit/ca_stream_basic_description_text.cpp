// Text forms of stream format records and four-character codes.
#include "toolkit/ca_ostype_text.h"
#include "toolkit/ca_stream_basic_description.h"
#include "toolkit/four_char_code_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

std::uint8_t codeByte(OSType t, int index) noexcept
{
    return static_cast<std::uint8_t>(t >> (8 * (3 - index)));
}

// Fields are unsigned but the text forms print them with "%d"; the conversion wraps.
int asInt(UInt32 value) noexcept
{
    return static_cast<int>(value);
}

// A view of the part of a caller's buffer that is still free. Every write is bounded by it and
// leaves the text terminated.
struct Room {
    char* at;
    std::size_t size;

    // Whether a write reported `length` characters and left room behind them. Moves past them when
    // it did; otherwise the text was cut and the buffer is full.
    bool advance(int length) noexcept
    {
        if (length < 0 || static_cast<std::size_t>(length) >= size)
            return false;
        at += length;
        size -= static_cast<std::size_t>(length);
        return true;
    }
};

void copyCut(Room room, const char* text) noexcept
{
    if (room.size == 0)
        return;
    const std::size_t length = std::min(std::strlen(text), room.size - 1);
    std::memcpy(room.at, text, length);
    room.at[length] = '\0';
}

int alacSourceBitDepth(AudioFormatFlags flags) noexcept
{
    switch (flags) {
    case 1: return 16;
    case 2: return 20;
    case 3: return 24;
    case 4: return 32;
    default: return 0;
    }
}

void writeAlacTail(const CAStreamBasicDescription& desc, Room room) noexcept
{
    const int depth = alacSourceBitDepth(desc.mFormatFlags);
    const int length = depth != 0 ? std::snprintf(room.at, room.size, "from %d-bit source, ", depth)
                                  : std::snprintf(room.at, room.size, "from UNKNOWN source bit depth, ");
    if (room.advance(length))
        std::snprintf(room.at, room.size, "%d frames/packet", asInt(desc.mFramesPerPacket));
}

void writeLinearPCMTail(const CAStreamBasicDescription& desc, Room room) noexcept
{
    const AudioFormatFlags flags = desc.mFormatFlags;
    const bool isFloat = (flags & kAudioFormatFlagIsFloat) != 0;
    const UInt32 wordSize = desc.SampleWordSize();
    const UInt32 fractionBits =
        (flags & kLinearPCMFormatFlagsSampleFractionMask) >> kLinearPCMFormatFlagsSampleFractionShift;

    char bitDepth[20];
    if (fractionBits != 0)
        std::snprintf(bitDepth, sizeof bitDepth, "%d.%d", asInt(desc.mBitsPerChannel - fractionBits),
                      asInt(fractionBits));
    else
        std::snprintf(bitDepth, sizeof bitDepth, "%d", asInt(desc.mBitsPerChannel));

    const char* byteOrder = "";
    if (wordSize >= 2)
        byteOrder = (flags & kAudioFormatFlagIsBigEndian) != 0 ? " big-endian" : " little-endian";

    const char* sign = "";
    if (!isFloat)
        sign = (flags & kAudioFormatFlagIsSignedInteger) != 0 ? " signed" : " unsigned";

    char packing[32] = "";
    const char* alignment = "";
    if (wordSize > 0 && wordSize * 8 != desc.mBitsPerChannel) {
        std::snprintf(packing, sizeof packing,
                      (flags & kAudioFormatFlagIsPacked) != 0 ? "packed in %d bytes" : "unpacked in %d bytes",
                      asInt(wordSize));
        alignment = (flags & kAudioFormatFlagIsAlignedHigh) != 0 ? " high-aligned" : " low-aligned";
    }
    const char* separator = packing[0] != '\0' || alignment[0] != '\0' ? ", " : "";
    const char* interleaving = (flags & kAudioFormatFlagIsNonInterleaved) != 0 ? ", deinterleaved" : "";

    std::snprintf(room.at, room.size, "%s-bit%s%s %s%s%s%s%s", bitDepth, byteOrder, sign, isFloat ? "float" : "integer",
                  separator, packing, alignment, interleaving);
}

void writeLinearPCMName(const AudioStreamBasicDescription& desc, Room room, bool abbreviate) noexcept
{
    const AudioFormatFlags flags = desc.mFormatFlags;
    const char* mixability = (flags & kAudioFormatFlagIsNonMixable) != 0 ? "Unmixable" : "Mixable";
    const char* numberType;
    if ((flags & kAudioFormatFlagIsFloat) != 0)
        numberType = abbreviate ? "Float" : "Floating Point";
    else if ((flags & kAudioFormatFlagIsSignedInteger) != 0)
        numberType = abbreviate ? "SInt" : "Signed Integer";
    else
        numberType = abbreviate ? "UInt" : "Unsigned Integer";
    const char* alignment = (flags & kAudioFormatFlagIsAlignedHigh) != 0 ? "High" : "Low";
    const char* bigEndian = "Big Endian";
    const bool isBigEndian = (flags & kAudioFormatFlagIsBigEndian) != 0;
    const bool isPacked = (flags & kAudioFormatFlagIsPacked) != 0;
    // The sample word of the record's own layout: a non-interleaved frame holds one channel, so
    // its bytes per frame are not shared among the channels. Without channels the word is 0.
    const int wordBits = asInt(CAStreamBasicDescription(desc).SampleWordSize() * 8);
    const int channels = asInt(desc.mChannelsPerFrame);
    const int bits = asInt(desc.mBitsPerChannel);

    if (abbreviate) {
        if (isBigEndian && !isPacked)
            std::snprintf(room.at, room.size, "%s %d Ch %s %s %s%d/%s%d", mixability, channels, bigEndian, alignment,
                          numberType, bits, numberType, wordBits);
        else if (isBigEndian)
            std::snprintf(room.at, room.size, "%s %d Ch %s %s%d", mixability, channels, bigEndian, numberType, bits);
        else if (!isPacked)
            std::snprintf(room.at, room.size, "%s %d Ch %s %s%d/%s%d", mixability, channels, alignment, numberType,
                          bits, numberType, wordBits);
        else
            std::snprintf(room.at, room.size, "%s %d Ch %s%d", mixability, channels, numberType, bits);
    } else {
        if (isBigEndian && !isPacked)
            std::snprintf(room.at, room.size, "%s %d Channel %d Bit %s %s Aligned %s in %d Bits", mixability, channels,
                          bits, bigEndian, numberType, alignment, wordBits);
        else if (isBigEndian)
            std::snprintf(room.at, room.size, "%s %d Channel %d Bit %s %s", mixability, channels, bits, bigEndian,
                          numberType);
        else if (!isPacked)
            std::snprintf(room.at, room.size, "%s %d Channel %d Bit %s Aligned %s in %d Bits", mixability, channels,
                          bits, numberType, alignment, wordBits);
        else
            std::snprintf(room.at, room.size, "%s %d Channel %d Bit %s", mixability, channels, bits, numberType);
    }
}

}  // namespace

char* CAStringForOSType(OSType t, char* writeLocation) noexcept
{
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = codeByte(t, i);
        if (!std::isprint(c) || c == '\\')
            printable = false;
    }
    if (printable)
        std::snprintf(writeLocation, kCAStringForOSTypeSize, "'%c%c%c%c'", codeByte(t, 0), codeByte(t, 1),
                      codeByte(t, 2), codeByte(t, 3));
    else
        std::snprintf(writeLocation, kCAStringForOSTypeSize, "0x%02X%02X%02X%02X", codeByte(t, 0), codeByte(t, 1),
                      codeByte(t, 2), codeByte(t, 3));
    return writeLocation;
}

char* OSTypeToStr(char* buffer, OSType t) noexcept
{
    static constexpr char kHex[] = "0123456789abcdef";
    char* p = buffer;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = codeByte(t, i);
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '\\';
            *p++ = 'x';
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 0xF];
        }
    }
    *p = '\0';
    return buffer;
}

int StrToOSType(const char* str, OSType& t) noexcept
{
    using brennick::toolkit::CodeByte;
    const char* p = str;
    OSType code = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t byte = 0;
        switch (brennick::toolkit::readCodeByte(p, byte)) {
        case CodeByte::Read: code = (code << 8) | byte; break;
        case CodeByte::End:
            if (i != 3)
                return 0;
            t = (code << 8) | ' ';
            return static_cast<int>(p - str);
        case CodeByte::Invalid: return 0;
        }
    }
    t = code;
    return static_cast<int>(p - str);
}

char* CAStreamBasicDescription::AsString(char* buffer, std::size_t bufferSize) const noexcept
{
    Room room{buffer, bufferSize};
    char formatID[kCAStringForOSTypeSize];
    CAStringForOSType(mFormatID, formatID);
    const int headLength = std::snprintf(room.at, room.size, "%2d ch, %6.0f Hz, %s (0x%08X) ", asInt(mChannelsPerFrame),
                                         mSampleRate, formatID, mFormatFlags);
    if (!room.advance(headLength))
        return buffer;

    switch (mFormatID) {
    case kAudioFormatAppleLossless: writeAlacTail(*this, room); break;
    case kAudioFormatLinearPCM: writeLinearPCMTail(*this, room); break;
    default:
        std::snprintf(room.at, room.size, "%d bits/channel, %d bytes/packet, %d frames/packet, %d bytes/frame",
                      asInt(mBitsPerChannel), asInt(mBytesPerPacket), asInt(mFramesPerPacket), asInt(mBytesPerFrame));
        break;
    }
    return buffer;
}

void CAStreamBasicDescription::GetSimpleName(const AudioStreamBasicDescription& inDescription, char* outName,
                                             UInt32 inMaxNameLength, bool inAbbreviate,
                                             bool inIncludeSampleRate) noexcept
{
    Room room{outName, inMaxNameLength};
    if (room.size == 0)
        return;
    if (inIncludeSampleRate && !room.advance(std::snprintf(room.at, room.size, "%.0f ", inDescription.mSampleRate)))
        return;

    switch (inDescription.mFormatID) {
    case kAudioFormatLinearPCM: writeLinearPCMName(inDescription, room, inAbbreviate); break;
    case kAudioFormatAC3: copyCut(room, "AC-3"); break;
    case kAudioFormat60958AC3: copyCut(room, "AC-3 for SPDIF"); break;
    default: {
        // The identifier's bytes as they are, most significant first.
        const char code[5] = {static_cast<char>(codeByte(inDescription.mFormatID, 0)),
                              static_cast<char>(codeByte(inDescription.mFormatID, 1)),
                              static_cast<char>(codeByte(inDescription.mFormatID, 2)),
                              static_cast<char>(codeByte(inDescription.mFormatID, 3)), '\0'};
        copyCut(room, code);
        break;
    }
    }
}
