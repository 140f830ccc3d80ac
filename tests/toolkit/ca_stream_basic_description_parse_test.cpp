// FromText: the records that format texts give, and the exact messages of texts that fail.
#include "toolkit/ca_stream_basic_description.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Asbd = AudioStreamBasicDescription;
constexpr OSType kLPCM = kAudioFormatLinearPCM;

struct Parsed {
    bool ok;
    Asbd desc;
    std::string errors;
};

Parsed parse(const std::string& text)
{
    // An exact-size copy, so a sanitizer build catches any read past the terminator; the record
    // starts out dirty, so a field the parser forgets to clear shows.
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    Parsed result{};
    std::memset(&result.desc, 0xAB, sizeof result.desc);
    testing::internal::CaptureStderr();
    result.ok = CAStreamBasicDescription::FromText(copy.data(), result.desc);
    result.errors = testing::internal::GetCapturedStderr();
    return result;
}

std::string describe(const Asbd& d)
{
    char text[256];
    std::snprintf(text, sizeof text, "{%g, 0x%08X, 0x%X, %u, %u, %u, %u, %u, %u}", d.mSampleRate, d.mFormatID,
                  d.mFormatFlags, d.mBytesPerPacket, d.mFramesPerPacket, d.mBytesPerFrame, d.mChannelsPerFrame,
                  d.mBitsPerChannel, d.mReserved);
    return text;
}

struct SuccessCase {
    const char* text;
    Asbd desc;  // rate, identifier, flags, bytes/packet, frames/packet, bytes/frame, channels, bits
};

const SuccessCase kSuccessCases[] = {
    // Linear PCM forms.
    {"F32", {0, kLPCM, 0x9, 4, 1, 4, 1, 32, 0}},
    {"I16", {0, kLPCM, 0xC, 2, 1, 2, 1, 16, 0}},
    {"UI8", {0, kLPCM, 0x8, 1, 1, 1, 1, 8, 0}},
    {"BEI16", {0, kLPCM, 0xE, 2, 1, 2, 1, 16, 0}},
    {"LEI16", {0, kLPCM, 0xC, 2, 1, 2, 1, 16, 0}},
    {"-BEF32", {0, kLPCM, 0xB, 4, 1, 4, 1, 32, 0}},
    {"BEUI8", {0, kLPCM, 0xA, 1, 1, 1, 1, 8, 0}},
    {"-LEF64", {0, kLPCM, 0x9, 8, 1, 8, 1, 64, 0}},
    {"I", {0, kLPCM, 0xC, 0, 1, 0, 1, 0, 0}},
    // Bit depths that are not whole bytes, and fractional counts.
    {"I20", {0, kLPCM, 0x14, 3, 1, 3, 1, 20, 0}},
    {"I8.24", {0, kLPCM, 0xC0C, 4, 1, 4, 1, 32, 0}},
    {"I8.64", {0, kLPCM, 0x200C, 9, 1, 9, 1, 72, 0}},
    {"I.5", {0, kLPCM, 0x294, 1, 1, 1, 1, 5, 0}},
    {"I8.16777216", {0, kLPCM, 0x8000000C, 2097153, 1, 2097153, 1, 16777224, 0}},
    {"I8.67108864", {0, kLPCM, 0xC, 8388609, 1, 8388609, 1, 67108872, 0}},  // the shift drops the count
    // Numbers wrap in unsigned 32-bit arithmetic.
    {"I4294967297", {0, kLPCM, 0x14, 1, 1, 1, 1, 1, 0}},
    {"I4294967295", {0, kLPCM, 0x14, 0, 1, 0, 1, 0xFFFFFFFF, 0}},
    {"I16,4294967295", {0, kLPCM, 0xC, 0xFFFFFFFE, 1, 0xFFFFFFFE, 0xFFFFFFFF, 16, 0}},
    // Fields.
    {"F32@44100,2", {44100.0, kLPCM, 0x9, 8, 1, 8, 2, 32, 0}},
    {"F32@44100,2D", {44100.0, kLPCM, 0x29, 4, 1, 4, 2, 32, 0}},
    {"F32@44100,2I", {44100.0, kLPCM, 0x9, 8, 1, 8, 2, 32, 0}},
    {"F32@", {0, kLPCM, 0x9, 4, 1, 4, 1, 32, 0}},
    {"I24:L4,2D", {0, kLPCM, 0x24, 4, 1, 4, 2, 24, 0}},
    {"I24:H4,2", {0, kLPCM, 0x14, 8, 1, 8, 2, 24, 0}},
    {"I24:H", {0, kLPCM, 0x14, 0, 1, 0, 1, 24, 0}},
    {"F32#1", {0, kLPCM, 0x9, 4, 1, 4, 1, 32, 0}},
    {"I16#4", {0, kLPCM, 0xC, 2, 4, 2, 1, 16, 0}},
    {"I16#", {0, kLPCM, 0xC, 2, 1, 2, 1, 16, 0}},
    {"I16#0", {0, kLPCM, 0xC, 2, 0, 2, 1, 16, 0}},
    {"I16/123456789", {0, kLPCM, 0x23456789, 2, 1, 2, 1, 16, 0}},
    {"I16@44100/c", {44100.0, kLPCM, 0xC, 2, 1, 2, 1, 16, 0}},
    {"I16/", {0, kLPCM, 0, 2, 1, 2, 1, 16, 0}},
    {"I16,", {0, kLPCM, 0xC, 0, 1, 0, 0, 16, 0}},
    {"I16@48000/0#1:L4,2I", {48000.0, kLPCM, 0, 8, 1, 8, 2, 16, 0}},
    // Four-character code forms.
    {"aac", {0, fourCharCode("aac "), 0, 0, 0, 0, 0, 0, 0}},
    {"aac@44100#1024", {44100.0, fourCharCode("aac "), 0, 0, 1024, 0, 0, 0, 0}},
    {"aac@44100/0#1024,2", {44100.0, fourCharCode("aac "), 0, 0, 1024, 0, 2, 0, 0}},
    {"ima4@44100/0#64:L34,2", {44100.0, fourCharCode("ima4"), 0, 34, 64, 34, 2, 0, 0}},
    {"abc/1f", {0, fourCharCode("abc "), 0x1F, 0, 0, 0, 0, 0, 0}},
    {"abc#2", {0, fourCharCode("abc "), 0, 0, 2, 0, 0, 0, 0}},
    {"abc@", {0, fourCharCode("abc "), 0, 0, 0, 0, 0, 0, 0}},
    {"lpcm,2D", {0, kLPCM, 0x20, 0, 0, 0, 2, 0, 0}},
    {"\\x6cpcm,2D", {0, kLPCM, 0x20, 0, 0, 0, 2, 0, 0}},
    {"lpcm:L4,2", {0, kLPCM, 0, 8, 0, 8, 2, 0, 0}},  // linear PCM by code multiplies by channels too
    {"f32", {0, fourCharCode("f32 "), 0, 0, 0, 0, 0, 0, 0}},
    {"LI16", {0, fourCharCode("LI16"), 0, 0, 0, 0, 0, 0, 0}},
    {"BI16", {0, fourCharCode("BI16"), 0, 0, 0, 0, 0, 0, 0}},
    {"UF32", {0, fourCharCode("UF32"), 0, 0, 0, 0, 0, 0, 0}},
    {"aa\\x62@8000", {8000.0, fourCharCode("aab "), 0, 0, 0, 0, 0, 0, 0}},
    // An escaped fourth byte belongs to the code even when it is a field marker.
    {"aac\\x40", {0, fourCharCode("aac@"), 0, 0, 0, 0, 0, 0, 0}},
    {"aac\\x00@8000", {8000.0, 0x61616300u, 0, 0, 0, 0, 0, 0, 0}},
};

TEST(FromText, Records)
{
    for (const SuccessCase& c : kSuccessCases) {
        const Parsed p = parse(c.text);
        EXPECT_TRUE(p.ok) << c.text;
        EXPECT_EQ(p.errors, "") << c.text;
        EXPECT_EQ(describe(p.desc), describe(c.desc)) << c.text;
    }
}

TEST(FromText, LongRateStaysFinite)
{
    const Parsed p = parse("aac@" + std::string(300, '9'));
    EXPECT_TRUE(p.ok);
    EXPECT_GT(p.desc.mSampleRate, 9.9e299);
}

struct FailureCase {
    const char* text;
    const char* firstMessage;  // before the two closing lines; null: no message at all
};

const FailureCase kFailureCases[] = {
    // The code form cannot be read: no message.
    {"", nullptr},
    {"a", nullptr},
    {"ab", nullptr},
    {"BE", nullptr},
    {"U8", nullptr},
    {"-", nullptr},
    {"\\y123", nullptr},
    {"\\xZZab", nullptr},
    {"ab\\x4", nullptr},
    {"abc\\", nullptr},
    // A fraction without digits.
    {"I8.", "Expected fractional bits following '.'\n"},
    {"I8.x", "Expected fractional bits following '.'\n"},
    {"BEF.", "Expected fractional bits following '.'\n"},
    // A ":" not followed by "H" or "L".
    {"I24:X4", ""},
    {"I24:", ""},
    {"I24:h4", ""},
    // Non-interleaved outside linear PCM.
    {"aac@44100,2D", "non-interleaved flag invalid for non-PCM formats\n"},
    // Characters left over.
    {"aac,2", "extra characters at end of format string: 2\n"},
    {"aac:H8", "extra characters at end of format string: H8\n"},
    {"aac-", "extra characters at end of format string: -\n"},
    {"--I16", "extra characters at end of format string: 6\n"},
    {"Float", "extra characters at end of format string: loat\n"},
    {"I16@48000.5", "extra characters at end of format string: .5\n"},
    {"I16,2@44100", "extra characters at end of format string: @44100\n"},
    {"I16,2X", "extra characters at end of format string: X\n"},
    {"I16 ", "extra characters at end of format string:  \n"},
    {"@44100", "extra characters at end of format string: 00\n"},
};

TEST(FromText, FailuresAndTheirMessages)
{
    for (const FailureCase& c : kFailureCases) {
        const Parsed p = parse(c.text);
        EXPECT_FALSE(p.ok) << c.text;
        const std::string expected = c.firstMessage == nullptr
                                         ? std::string()
                                         : std::string(c.firstMessage) + "Invalid format string: " + c.text +
                                               "\nSyntax of format strings is: \n";
        EXPECT_EQ(p.errors, expected) << c.text;
    }
}

TEST(FromText, CommaInFourthPlaceIsPartOfTheCode)
{
    const Parsed p = parse("aac,2D");
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.desc.mFormatID, fourCharCode("aac,"));
    EXPECT_EQ(p.errors, "extra characters at end of format string: 2D\nInvalid format string: aac,2D\n"
                        "Syntax of format strings is: \n");
}

TEST(FromText, UsageText)
{
    EXPECT_STREQ(CAStreamBasicDescription::sTextParsingUsageString,
                 "format[@sample_rate_hz][/format_flags][#frames_per_packet][:LHbytesPerFrame][,channelsDI].\n"
                 "Format for PCM is [-][BE|LE]{F|I|UI}{bitdepth}; else a 4-char format code (e.g. aac, alac).\n");
}

TEST(FromText, ParsedRecordIsPlausibleAndNamed)
{
    const Parsed q = parse("I24@48000:L4,2");
    ASSERT_TRUE(q.ok);
    char name[64];
    CAStreamBasicDescription::GetSimpleName(q.desc, name, sizeof name, true, true);
    EXPECT_STREQ(name, "48000 Mixable 2 Ch Low SInt24/SInt32");
    EXPECT_TRUE(SanityCheck(q.desc));
}

}  // namespace
