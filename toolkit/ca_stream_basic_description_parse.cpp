// The format text parser: "F32@44100,2", "aac@44100#1024" and the like.
#include "toolkit/ca_stream_basic_description.h"
#include "toolkit/four_char_code_reader.h"

#include <cstdint>
#include <cstdio>

const char* const CAStreamBasicDescription::sTextParsingUsageString =
    "format[@sample_rate_hz][/format_flags][#frames_per_packet][:LHbytesPerFrame][,channelsDI].\n"
    "Format for PCM is [-][BE|LE]{F|I|UI}{bitdepth}; else a 4-char format code (e.g. aac, alac).\n";

namespace {

bool isDecimalDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// Decimal digits at `p`, accumulated in unsigned 32-bit arithmetic, which wraps on overflow.
// Moves `p` past them; `any` tells whether there was one.
UInt32 readDecimal(const char*& p, bool& any) noexcept
{
    UInt32 value = 0;
    any = false;
    for (; isDecimalDigit(*p); ++p) {
        value = value * 10 + static_cast<UInt32>(*p - '0');
        any = true;
    }
    return value;
}

UInt32 readDecimal(const char*& p) noexcept
{
    bool any = false;
    return readDecimal(p, any);
}

// Hexadecimal digits at `p`; only the last eight count.
UInt32 readHexadecimal(const char*& p) noexcept
{
    UInt32 value = 0;
    for (int digit; (digit = brennick::toolkit::hexDigitValue(*p)) >= 0; ++p)
        value = (value << 4) | static_cast<UInt32>(digit);
    return value;
}

// The sample rate is accumulated in double precision: very long digit strings end at infinity.
Float64 readRate(const char*& p) noexcept
{
    Float64 value = 0.0;
    for (; isDecimalDigit(*p); ++p)
        value = value * 10.0 + (*p - '0');
    return value;
}

// Reads the code form from the start of the text. Returns where reading goes on, or null when the
// text holds no code (no message is written for that).
const char* readCodeForm(const char* text, AudioStreamBasicDescription& desc) noexcept
{
    using brennick::toolkit::CodeByte;
    const char* p = text;
    OSType code = 0;
    for (int i = 0; i < 4; ++i) {
        const char* byteStart = p;
        std::uint8_t byte = 0;
        switch (brennick::toolkit::readCodeByte(p, byte)) {
        case CodeByte::Read:
            // A field marker written as a fourth plain character ends a three-character code such
            // as "aac@44100". An escaped byte is always part of the code.
            if (i == 3 && p == byteStart + 1 && (byte == '-' || byte == '@' || byte == '/' || byte == '#')) {
                byte = ' ';
                p = byteStart;
            }
            code = (code << 8) | byte;
            break;
        case CodeByte::End:
            if (i != 3)
                return nullptr;
            code = (code << 8) | ' ';
            break;
        case CodeByte::Invalid: return nullptr;
        }
    }
    desc.mFormatID = code;
    return p;
}

bool fail(const char* text) noexcept
{
    std::fprintf(stderr, "Invalid format string: %s\n", text);
    std::fprintf(stderr, "Syntax of format strings is: \n");
    return false;
}

}  // namespace

bool CAStreamBasicDescription::FromText(const char* inTextDesc, AudioStreamBasicDescription& outDesc) noexcept
{
    outDesc = AudioStreamBasicDescription{};
    const char* p = inTextDesc;

    // The linear PCM form: [-][BE|LE]{F|I|UI}bits[.fraction]
    bool isBigEndian = false;
    if (*p == '-')
        ++p;
    if (p[0] == 'L' && p[1] == 'E') {
        p += 2;
    } else if (p[0] == 'B' && p[1] == 'E') {
        p += 2;
        isBigEndian = true;
    }
    AudioFormatFlags flags =
        kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger | (isBigEndian ? kAudioFormatFlagIsBigEndian : 0);
    bool isPCM = true;
    if (p[0] == 'F') {
        flags = (flags & ~kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsFloat;
        ++p;
    } else if (p[0] == 'U' && p[1] == 'I') {
        flags &= ~kAudioFormatFlagIsSignedInteger;
        p += 2;
    } else if (p[0] == 'I') {
        ++p;
    } else {
        isPCM = false;
    }

    if (isPCM) {
        UInt32 bits = readDecimal(p);
        if (*p == '.') {
            ++p;
            if (!isDecimalDigit(*p)) {
                std::fprintf(stderr, "Expected fractional bits following '.'\n");
                return fail(inTextDesc);
            }
            const UInt32 fractionBits = readDecimal(p);
            bits += fractionBits;
            // A count of 64 or more reaches the flag bits above the fraction field; the shift
            // drops what passes bit 31.
            flags |= fractionBits << kLinearPCMFormatFlagsSampleFractionShift;
        }
        if (bits % 8 != 0) {
            flags &= ~kAudioFormatFlagIsPacked;
            flags |= kAudioFormatFlagIsAlignedHigh;
        }
        const UInt32 bytes = (bits + 7) / 8;
        outDesc.mFormatID = kAudioFormatLinearPCM;
        outDesc.mFormatFlags = flags;
        outDesc.mFramesPerPacket = 1;
        outDesc.mChannelsPerFrame = 1;
        outDesc.mBitsPerChannel = bits;
        outDesc.mBytesPerFrame = bytes;
        outDesc.mBytesPerPacket = bytes;
    } else {
        p = readCodeForm(inTextDesc, outDesc);
        if (p == nullptr)
            return false;
    }

    if (*p == '@') {
        ++p;
        outDesc.mSampleRate = readRate(p);
    }
    if (*p == '/') {
        ++p;
        outDesc.mFormatFlags = readHexadecimal(p);
    }
    if (*p == '#') {
        ++p;
        bool any = false;
        const UInt32 frames = readDecimal(p, any);
        if (any)
            outDesc.mFramesPerPacket = frames;
    }
    if (*p == ':') {
        ++p;
        outDesc.mFormatFlags &= ~kAudioFormatFlagIsPacked;
        if (*p == 'H')
            outDesc.mFormatFlags |= kAudioFormatFlagIsAlignedHigh;
        else if (*p == 'L')
            outDesc.mFormatFlags &= ~kAudioFormatFlagIsAlignedHigh;
        else
            return fail(inTextDesc);
        ++p;
        const UInt32 bytes = readDecimal(p);
        outDesc.mBytesPerFrame = bytes;
        outDesc.mBytesPerPacket = bytes;
    }
    if (*p == ',') {
        ++p;
        const UInt32 channels = readDecimal(p);
        outDesc.mChannelsPerFrame = channels;
        const bool isLinearPCM = outDesc.mFormatID == kAudioFormatLinearPCM;
        bool isNonInterleaved = false;
        if (*p == 'I') {
            ++p;
        } else if (*p == 'D') {
            ++p;
            if (!isLinearPCM) {
                std::fprintf(stderr, "non-interleaved flag invalid for non-PCM formats\n");
                return fail(inTextDesc);
            }
            outDesc.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
            isNonInterleaved = true;
        }
        if (isLinearPCM && !isNonInterleaved) {
            outDesc.mBytesPerFrame *= channels;
            outDesc.mBytesPerPacket *= channels;
        }
    }

    if (*p != '\0') {
        std::fprintf(stderr, "extra characters at end of format string: %s\n", p);
        return fail(inTextDesc);
    }
    return true;
}
