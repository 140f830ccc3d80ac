// Text forms: four-character code display and escape forms, StrToOSType, AsString and
// GetSimpleName, including cutting at every buffer size with guard bytes behind the buffer.
#include "toolkit/ca_ostype_text.h"
#include "toolkit/ca_stream_basic_description.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Asbd = AudioStreamBasicDescription;
constexpr OSType kAAC = fourCharCode("aac ");
constexpr char kGuard = '\x5A';

Asbd pcm(double rate, UInt32 flags, UInt32 bytesPerFrame, UInt32 channels, UInt32 bits)
{
    return Asbd{rate, kAudioFormatLinearPCM, flags, bytesPerFrame, 1, bytesPerFrame, channels, bits, 0};
}

// Runs `write` on a buffer of `size` bytes that has guard bytes behind it; returns the text, and
// fails the test if anything past `size` changed or the text is not terminated within `size`.
std::string writeBounded(std::size_t size, const std::function<void(char*, std::size_t)>& write)
{
    constexpr std::size_t kGuardBytes = 16;
    std::vector<char> storage(size + kGuardBytes, kGuard);
    write(storage.data(), size);
    for (std::size_t i = size; i < storage.size(); ++i)
        EXPECT_EQ(storage[i], kGuard) << "byte " << i << " written past size " << size;
    if (size == 0)
        return {};
    const std::size_t length = ::strnlen(storage.data(), size);
    EXPECT_LT(length, size) << "not terminated within size " << size;
    return std::string(storage.data(), length);
}

// Every size from 0 to beyond the whole text: the cut text is the whole text's prefix.
void expectCutsAreBoundedPrefixes(const std::string& whole, const std::function<void(char*, std::size_t)>& write)
{
    for (std::size_t size = 0; size <= whole.size() + 2; ++size) {
        const std::string cut = writeBounded(size, write);
        EXPECT_EQ(cut, whole.substr(0, size == 0 ? 0 : size - 1)) << "size " << size;
    }
}

// --- CAStringForOSType and OSTypeToStr ---

struct CodeTextCase {
    OSType code;
    const char* display;
    const char* escaped;
};

const CodeTextCase kCodeTextCases[] = {
    {fourCharCode("lpcm"), "'lpcm'", "lpcm"},
    {fourCharCode("aac "), "'aac '", "aac "},
    {fourCharCode(" ~ ~"), "' ~ ~'", " ~ ~"},
    {0, "0x00000000", "\\x00\\x00\\x00\\x00"},
    {0x00010203, "0x00010203", "\\x00\\x01\\x02\\x03"},
    {fourCharCode("aa\\c"), "0x61615C63", "aa\\x5cc"},
    {0x6162637F, "0x6162637F", "abc\\x7f"},
    {0xABCDEF80, "0xABCDEF80", "\\xab\\xcd\\xef\\x80"},
    {0x1F616263, "0x1F616263", "\\x1fabc"},
};

TEST(CodeText, DisplayAndEscapedForms)
{
    for (const CodeTextCase& c : kCodeTextCases) {
        EXPECT_EQ(writeBounded(kCAStringForOSTypeSize, [&](char* b, std::size_t) { CAStringForOSType(c.code, b); }),
                  c.display);
        EXPECT_EQ(writeBounded(kOSTypeToStrSize, [&](char* b, std::size_t) { OSTypeToStr(b, c.code); }), c.escaped);
    }
}

TEST(CodeText, EveryByteInEveryPositionReadsBack)
{
    const OSType base = fourCharCode("wxyz");
    for (int position = 0; position < 4; ++position) {
        const int shift = 8 * (3 - position);
        for (UInt32 byte = 0; byte < 256; ++byte) {
            const OSType code = (base & ~(0xFFu << shift)) | (byte << shift);
            char text[kOSTypeToStrSize];
            OSTypeToStr(text, code);
            const bool plain = byte >= 0x20 && byte <= 0x7E && byte != '\\';
            ASSERT_EQ(std::strlen(text), plain ? 4u : 7u) << text;
            OSType read = 0;
            ASSERT_EQ(StrToOSType(text, read), static_cast<int>(std::strlen(text))) << text;
            ASSERT_EQ(read, code) << text;
        }
    }
}

TEST(CodeText, FourEscapesSpanSixteenCharacters)
{
    char text[kOSTypeToStrSize];
    OSType read = 0;
    EXPECT_EQ(StrToOSType(OSTypeToStr(text, 0x80FF0A5C), read), 16);
    EXPECT_EQ(read, 0x80FF0A5Cu);
}

// --- StrToOSType ---

struct ReadCase {
    const char* text;
    int consumed;
    OSType code;  // when consumed is 0, the code must stay untouched
};

constexpr OSType kUntouched = 0xDEADBEEF;

const ReadCase kReadCases[] = {
    {"lpcm", 4, fourCharCode("lpcm")},
    {"aac", 3, fourCharCode("aac ")},
    {"lpcmXYZ", 4, fourCharCode("lpcm")},
    {"\\x41bc", 6, fourCharCode("Abc ")},
    {"abc\\x64", 7, fourCharCode("abcd")},
    {"\\xaF12", 6, 0xAF313220},
    {"\\x0041", 6, 0x00343120},
    {"\\x4Zab", 6, 0x04616220},  // one digit: the escape still spans four characters
    {"ab\\x", 0, kUntouched},
    {"ab\\x4", 0, kUntouched},   // escape cut short by the end of the text
    {"abc\\x4", 0, kUntouched},  // even as the fourth byte
    {"ab", 0, kUntouched},
    {"", 0, kUntouched},
    {"\\ybcd", 0, kUntouched},
    {"\\Xabcd", 0, kUntouched},
    {"\\xZZab", 0, kUntouched},
    {"\\x 4ab", 0, kUntouched},
    {"abc\\", 0, kUntouched},
};

TEST(StrToOSType, ReadsCodesAndRejectsMalformedEscapes)
{
    for (const ReadCase& c : kReadCases) {
        // An exact-size copy, so a sanitizer build catches any read past the terminator.
        std::vector<char> text(c.text, c.text + std::strlen(c.text) + 1);
        OSType code = kUntouched;
        EXPECT_EQ(StrToOSType(text.data(), code), c.consumed) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
}

// --- AsString ---

struct DescriptionCase {
    const char* name;
    Asbd desc;
    const char* text;
};

const DescriptionCase kDescriptionCases[] = {
    {"SignedInteger", pcm(44100.0, 0xC, 4, 2, 16),
     " 2 ch,  44100 Hz, 'lpcm' (0x0000000C) 16-bit little-endian signed integer"},
    {"BigEndian", pcm(44100.0, 0xE, 4, 2, 16),
     " 2 ch,  44100 Hz, 'lpcm' (0x0000000E) 16-bit big-endian signed integer"},
    {"DeinterleavedFloat", pcm(44100.0, 0x29, 4, 2, 32),
     " 2 ch,  44100 Hz, 'lpcm' (0x00000029) 32-bit little-endian float, deinterleaved"},
    {"UnpackedHigh", pcm(48000.0, 0x14, 8, 2, 24),
     " 2 ch,  48000 Hz, 'lpcm' (0x00000014) 24-bit little-endian signed integer, unpacked in 4 bytes high-aligned"},
    {"PackedHigh", pcm(48000.0, 0x1C, 8, 2, 24),
     " 2 ch,  48000 Hz, 'lpcm' (0x0000001C) 24-bit little-endian signed integer, packed in 4 bytes high-aligned"},
    {"UnpackedLow", pcm(48000.0, 0x4, 8, 2, 24),
     " 2 ch,  48000 Hz, 'lpcm' (0x00000004) 24-bit little-endian signed integer, unpacked in 4 bytes low-aligned"},
    {"OneByteHasNoByteOrder", pcm(22050.0, 0x8, 1, 1, 8),
     " 1 ch,  22050 Hz, 'lpcm' (0x00000008) 8-bit unsigned integer"},
    {"FixedPoint", pcm(44100.0, 0xC0C, 4, 1, 32),
     " 1 ch,  44100 Hz, 'lpcm' (0x00000C0C) 8.24-bit little-endian signed integer"},
    {"FractionOnly", pcm(0.0, 0x294, 1, 1, 5),
     " 1 ch,      0 Hz, 'lpcm' (0x00000294) 0.5-bit signed integer, unpacked in 1 bytes high-aligned"},
    {"FractionAboveBitsWraps", pcm(0.0, 0x28C, 1, 1, 3),
     " 1 ch,      0 Hz, 'lpcm' (0x0000028C) -2.5-bit signed integer, packed in 1 bytes low-aligned"},
    {"NoChannelsNoWord", pcm(8000.0, 0x4, 2, 0, 16), " 0 ch,   8000 Hz, 'lpcm' (0x00000004) 16-bit signed integer"},
    {"CountsPrintedSigned", pcm(8000.0, 0x9, 0, 0xFFFFFFFF, 0x80000000),
     "-1 ch,   8000 Hz, 'lpcm' (0x00000009) -2147483648-bit float"},
    {"AlacKnownDepth", Asbd{44100.0, kAudioFormatAppleLossless, 2, 0, 4096, 0, 2, 0, 0},
     " 2 ch,  44100 Hz, 'alac' (0x00000002) from 20-bit source, 4096 frames/packet"},
    {"AlacUnknownDepth", Asbd{44100.0, kAudioFormatAppleLossless, 0, 0, 4096, 0, 2, 0, 0},
     " 2 ch,  44100 Hz, 'alac' (0x00000000) from UNKNOWN source bit depth, 4096 frames/packet"},
    {"AlacDepthFive", Asbd{44100.0, kAudioFormatAppleLossless, 5, 0, 4096, 0, 2, 0, 0},
     " 2 ch,  44100 Hz, 'alac' (0x00000005) from UNKNOWN source bit depth, 4096 frames/packet"},
    {"OtherFormat", Asbd{44100.0, kAAC, 0, 0, 1024, 0, 2, 0, 0},
     " 2 ch,  44100 Hz, 'aac ' (0x00000000) 0 bits/channel, 0 bytes/packet, 1024 frames/packet, 0 bytes/frame"},
    {"UnprintableIdentifier", Asbd{8000.0, 0x01020304, 0, 0, 0, 0, 1, 0, 0},
     " 1 ch,   8000 Hz, 0x01020304 (0x00000000) 0 bits/channel, 0 bytes/packet, 0 frames/packet, 0 bytes/frame"},
    {"WideRate", Asbd{1234567.0, kAAC, 0, 0, 0, 0, 100, 0, 0},
     "100 ch, 1234567 Hz, 'aac ' (0x00000000) 0 bits/channel, 0 bytes/packet, 0 frames/packet, 0 bytes/frame"},
};

class DescriptionTable : public testing::TestWithParam<DescriptionCase> {};

TEST_P(DescriptionTable, WholeText)
{
    const CAStreamBasicDescription desc(GetParam().desc);
    EXPECT_EQ(writeBounded(512, [&](char* b, std::size_t n) { desc.AsString(b, n); }), GetParam().text);
}

TEST_P(DescriptionTable, CutAtEverySize)
{
    const CAStreamBasicDescription desc(GetParam().desc);
    expectCutsAreBoundedPrefixes(GetParam().text, [&](char* b, std::size_t n) { desc.AsString(b, n); });
}

INSTANTIATE_TEST_SUITE_P(AsString, DescriptionTable, testing::ValuesIn(kDescriptionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AsString, CutExamples)
{
    const CAStreamBasicDescription desc(pcm(44100.0, 0xC, 4, 2, 16));
    EXPECT_EQ(writeBounded(10, [&](char* b, std::size_t n) { desc.AsString(b, n); }), " 2 ch,  4");
    EXPECT_EQ(writeBounded(40, [&](char* b, std::size_t n) { desc.AsString(b, n); }),
              " 2 ch,  44100 Hz, 'lpcm' (0x0000000C) 1");
}

TEST(AsString, HugeRateIsCutSafely)
{
    const CAStreamBasicDescription desc(Asbd{1e300, kAudioFormatAppleLossless, 1, 0, 0, 0, 0, 0, 0});
    char whole[400];
    const std::string text = desc.AsString(whole, sizeof whole);
    EXPECT_EQ(text.size(), 301 - 6 + 38 + std::strlen("from 16-bit source, 0 frames/packet"));
    expectCutsAreBoundedPrefixes(text, [&](char* b, std::size_t n) { desc.AsString(b, n); });
}

// --- GetSimpleName ---

struct NameCase {
    const char* name;
    Asbd desc;
    bool withRate;
    const char* abbreviated;
    const char* full;
};

const NameCase kNameCases[] = {
    {"SignedInteger", pcm(44100.0, 0xC, 4, 2, 16), false, "Mixable 2 Ch SInt16",
     "Mixable 2 Channel 16 Bit Signed Integer"},
    {"WithRate", pcm(44100.0, 0xC, 4, 2, 16), true, "44100 Mixable 2 Ch SInt16",
     "44100 Mixable 2 Channel 16 Bit Signed Integer"},
    {"UnpackedLow", pcm(0, 0x4, 8, 2, 24), false, "Mixable 2 Ch Low SInt24/SInt32",
     "Mixable 2 Channel 24 Bit Signed Integer Aligned Low in 32 Bits"},
    {"BigEndianUnpackedHigh", pcm(0, 0x16, 8, 2, 24), false, "Mixable 2 Ch Big Endian High SInt24/SInt32",
     "Mixable 2 Channel 24 Bit Big Endian Signed Integer Aligned High in 32 Bits"},
    {"BigEndianPacked", pcm(0, 0xE, 4, 2, 16), false, "Mixable 2 Ch Big Endian SInt16",
     "Mixable 2 Channel 16 Bit Big Endian Signed Integer"},
    {"Float", pcm(0, 0x9, 8, 2, 32), false, "Mixable 2 Ch Float32", "Mixable 2 Channel 32 Bit Floating Point"},
    {"Unsigned", pcm(0, 0x8, 1, 1, 8), false, "Mixable 1 Ch UInt8", "Mixable 1 Channel 8 Bit Unsigned Integer"},
    {"Unmixable", pcm(0, 0x4C, 4, 2, 16), false, "Unmixable 2 Ch SInt16", "Unmixable 2 Channel 16 Bit Signed Integer"},
    // A non-interleaved frame holds one channel: its word is the whole frame.
    {"NonInterleavedUnpacked", pcm(0, 0x24, 4, 2, 24), false, "Mixable 2 Ch Low SInt24/SInt32",
     "Mixable 2 Channel 24 Bit Signed Integer Aligned Low in 32 Bits"},
    {"UnpackedWithoutChannels", pcm(0, 0x4, 8, 0, 24), false, "Mixable 0 Ch Low SInt24/SInt0",
     "Mixable 0 Channel 24 Bit Signed Integer Aligned Low in 0 Bits"},
    {"Ac3WithRate", Asbd{48000.0, kAudioFormatAC3, 0, 0, 1536, 0, 6, 0, 0}, true, "48000 AC-3", "48000 AC-3"},
    {"Ac3ForSpdif", Asbd{48000.0, kAudioFormat60958AC3, 0, 0, 0, 0, 2, 0, 0}, false, "AC-3 for SPDIF",
     "AC-3 for SPDIF"},
    {"OtherFormatRawBytes", Asbd{22050.0, kAAC, 0, 0, 0, 0, 2, 0, 0}, true, "22050 aac ", "22050 aac "},
    {"UnprintableBytesAsTheyAre", Asbd{0, fourCharCode("a\\\x01z"), 0, 0, 0, 0, 0, 0, 0}, false, "a\\\x01z",
     "a\\\x01z"},
    {"ZeroByteEndsTheName", Asbd{0, 0x61006263, 0, 0, 0, 0, 0, 0, 0}, false, "a", "a"},
};

class NameTable : public testing::TestWithParam<NameCase> {};

TEST_P(NameTable, BothForms)
{
    const NameCase& c = GetParam();
    for (const bool abbreviate : {true, false}) {
        const auto write = [&](char* b, std::size_t n) {
            CAStreamBasicDescription::GetSimpleName(c.desc, b, static_cast<UInt32>(n), abbreviate, c.withRate);
        };
        const std::string expected = abbreviate ? c.abbreviated : c.full;
        EXPECT_EQ(writeBounded(256, write), expected);
        expectCutsAreBoundedPrefixes(expected, write);
    }
}

INSTANTIATE_TEST_SUITE_P(GetSimpleName, NameTable, testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
