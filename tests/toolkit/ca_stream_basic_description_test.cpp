// Record operations of CAStreamBasicDescription: construction, normalisation, completion,
// equality with wildcards, sort order, word size and plausibility.
#include "toolkit/ca_stream_basic_description.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using Asbd = AudioStreamBasicDescription;
constexpr OSType kAAC = fourCharCode("aac ");
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Field order of the record: rate, identifier, flags, bytes/packet, frames/packet, bytes/frame,
// channels, bits, reserved.
Asbd pcm(double rate, UInt32 flags, UInt32 bytesPerFrame, UInt32 channels, UInt32 bits)
{
    return Asbd{rate, kAudioFormatLinearPCM, flags, bytesPerFrame, 1, bytesPerFrame, channels, bits, 0};
}

bool sameBytes(const Asbd& x, const Asbd& y)
{
    return std::memcmp(&x, &y, sizeof(Asbd)) == 0;
}

TEST(Construction, DefaultAndEmptyAreAllZero)
{
    const CAStreamBasicDescription byDefault;
    const Asbd zero{};
    EXPECT_TRUE(sameBytes(byDefault, zero));
    EXPECT_TRUE(sameBytes(CAStreamBasicDescription::sEmpty, zero));
    EXPECT_TRUE(byDefault.IsEqual(CAStreamBasicDescription::sEmpty, true));
    EXPECT_TRUE(byDefault.IsEqual(CAStreamBasicDescription::sEmpty, false));
}

TEST(Construction, ValueConstructorTakesFlagsLast)
{
    const CAStreamBasicDescription desc(44100.0, kAudioFormatLinearPCM, 4, 1, 4, 2, 16, 0xC);
    EXPECT_TRUE(sameBytes(desc, Asbd{44100.0, kAudioFormatLinearPCM, 0xC, 4, 1, 4, 2, 16, 0}));
}

TEST(Construction, CopyFromRecordKeepsReserved)
{
    const Asbd record{8000.0, kAAC, 3, 5, 6, 7, 8, 9, 10};
    const CAStreamBasicDescription desc(record);
    EXPECT_TRUE(sameBytes(desc, record));
}

TEST(Equality, AllZeroRecordMatchesEverything)
{
    const Asbd anything{48000.0, kAAC, 7, 1, 1024, 1, 2, 0, 0};
    EXPECT_TRUE(CAStreamBasicDescription::sEmpty == anything);
    EXPECT_TRUE(anything == CAStreamBasicDescription::sEmpty);
    EXPECT_FALSE(CAStreamBasicDescription::sEmpty.IsEqual(anything, false));
}

struct EqualityCase {
    const char* name;
    Asbd x;
    Asbd y;
    bool equal;
};

class EqualityTable : public testing::TestWithParam<EqualityCase> {};

TEST_P(EqualityTable, IsSymmetricAndMatchesExpectation)
{
    const EqualityCase& c = GetParam();
    EXPECT_EQ(c.x == c.y, c.equal);
    EXPECT_EQ(c.y == c.x, c.equal);
    EXPECT_EQ(CAStreamBasicDescription(c.x).IsEqual(c.y, true), c.equal);
}

const EqualityCase kEqualityCases[] = {
    {"PackedEightBitIgnoresByteOrder", pcm(0, 0xE, 1, 1, 8), pcm(0, 0xC, 1, 1, 8), true},
    {"PackedZeroBitsIgnoresByteOrder", pcm(0, 0xE, 0, 1, 0), pcm(0, 0xC, 0, 1, 0), true},
    {"PackedSixteenBitKeepsByteOrder", pcm(0, 0xE, 2, 1, 16), pcm(0, 0xC, 2, 1, 16), false},
    // Each side is reduced by its own bit count, a wildcard 0 included: the side with unspecified
    // bits loses its byte order, the 16-bit side keeps it.
    {"ByteOrderReducedPerSide", pcm(0, 0xE, 2, 1, 16), pcm(0, 0xE, 0, 1, 0), false},
    {"MonoIgnoresNonInterleaved", pcm(0, 0x2C, 2, 1, 16), pcm(0, 0xC, 2, 1, 16), true},
    {"StereoKeepsNonInterleaved", pcm(0, 0x2C, 4, 2, 16), pcm(0, 0xC, 4, 2, 16), false},
    {"MonoAgainstWildcardChannelsKeepsNonInterleaved", pcm(0, 0x2C, 2, 1, 16), pcm(0, 0xC, 2, 0, 16), false},
    {"PackedIgnoresAlignment", pcm(0, 0x1C, 4, 1, 32), pcm(0, 0xC, 4, 1, 32), true},
    {"UnpackedKeepsAlignment", pcm(0, 0x14, 4, 1, 24), pcm(0, 0x4, 4, 1, 24), false},
    {"OnePackedSideKeepsAlignment", pcm(0, 0x1C, 4, 1, 24), pcm(0, 0x4, 4, 1, 24), false},
    {"FloatIgnoresSign", pcm(0, 0xD, 4, 1, 32), pcm(0, 0x9, 4, 1, 32), true},
    {"FloatAgainstSignedIntegerDiffers", pcm(0, 0x9, 4, 1, 32), pcm(0, 0xC, 4, 1, 32), false},
    {"AllClearFlagIgnored", pcm(0, 0x8000000C, 2, 1, 16), pcm(0, 0xC, 2, 1, 16), true},
    {"ZeroFlagsSkipTheFlagTest", pcm(0, 0, 2, 1, 16), pcm(0, 0x29, 2, 1, 16), true},
    {"NonPCMFlagsAreOpaque", Asbd{0, kAAC, 1, 0, 0, 0, 0, 0, 0}, Asbd{0, kAAC, 2, 0, 0, 0, 0, 0, 0}, false},
    {"NonPCMNeverReduced", Asbd{0, kAAC, 0x8000000C, 0, 0, 0, 0, 0, 0}, Asbd{0, kAAC, 0xC, 0, 0, 0, 0, 0, 0}, false},
    {"ZeroRateMatches", pcm(44100.0, 0xC, 4, 2, 16), pcm(0.0, 0xC, 4, 2, 16), true},
    {"NegativeZeroRateMatches", pcm(44100.0, 0xC, 4, 2, 16), pcm(-0.0, 0xC, 4, 2, 16), true},
    {"RatesDiffer", pcm(44100.0, 0xC, 4, 2, 16), pcm(48000.0, 0xC, 4, 2, 16), false},
    {"NaNRateNeverMatches", pcm(kNaN, 0xC, 4, 2, 16), pcm(kNaN, 0xC, 4, 2, 16), false},
    {"IdentifiersDiffer", Asbd{0, kAAC, 0, 0, 0, 0, 0, 0, 0}, Asbd{0, kAudioFormatLinearPCM, 0, 0, 0, 0, 0, 0, 0},
     false},
    {"ZeroIdentifierSkipsFlags", Asbd{0, 0, 1, 0, 0, 0, 0, 0, 0}, Asbd{0, kAAC, 2, 0, 0, 0, 0, 0, 0}, true},
    {"BytesPerPacketDiffer", Asbd{0, 0, 0, 4, 0, 0, 0, 0, 0}, Asbd{0, 0, 0, 8, 0, 0, 0, 0, 0}, false},
    {"FramesPerPacketDiffer", Asbd{0, 0, 0, 0, 1, 0, 0, 0, 0}, Asbd{0, 0, 0, 0, 2, 0, 0, 0, 0}, false},
    {"BytesPerFrameDiffer", Asbd{0, 0, 0, 0, 0, 4, 0, 0, 0}, Asbd{0, 0, 0, 0, 0, 8, 0, 0, 0}, false},
    {"ChannelsDiffer", Asbd{0, 0, 0, 0, 0, 0, 1, 0, 0}, Asbd{0, 0, 0, 0, 0, 0, 2, 0, 0}, false},
    {"BitsDiffer", Asbd{0, 0, 0, 0, 0, 0, 0, 16, 0}, Asbd{0, 0, 0, 0, 0, 0, 0, 24, 0}, false},
    {"ReservedNeverCompared", Asbd{0, 0, 0, 0, 0, 0, 0, 0, 1}, Asbd{0, 0, 0, 0, 0, 0, 0, 0, 2}, true},
};

INSTANTIATE_TEST_SUITE_P(Equality, EqualityTable, testing::ValuesIn(kEqualityCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IsEqualExact, ComparesBitsOfTheFirstEightFields)
{
    const CAStreamBasicDescription positive(pcm(0.0, 0xC, 4, 2, 16));
    EXPECT_FALSE(positive.IsEqual(pcm(-0.0, 0xC, 4, 2, 16), false));
    EXPECT_TRUE(positive.IsEqual(pcm(-0.0, 0xC, 4, 2, 16), true));

    Asbd reservedDiffers = positive;
    reservedDiffers.mReserved = 99;
    EXPECT_TRUE(positive.IsEqual(reservedDiffers, false));

    const CAStreamBasicDescription nan(pcm(kNaN, 0xC, 4, 2, 16));
    EXPECT_TRUE(nan.IsEqual(nan, false));
    EXPECT_FALSE(nan.IsEqual(nan, true));

    // A wildcard is not a match for the exact form, and every field takes part.
    for (UInt32 Asbd::*field : {&Asbd::mFormatID, &Asbd::mFormatFlags, &Asbd::mBytesPerPacket, &Asbd::mFramesPerPacket,
                                &Asbd::mBytesPerFrame, &Asbd::mChannelsPerFrame, &Asbd::mBitsPerChannel}) {
        Asbd changed = positive;
        changed.*field += 1;
        EXPECT_FALSE(positive.IsEqual(changed, false));
    }
}

struct OrderCase {
    const char* name;
    Asbd x;
    Asbd y;
    bool xFirst;
    bool yFirst;
};

class OrderTable : public testing::TestWithParam<OrderCase> {};

TEST_P(OrderTable, OrdersBothWays)
{
    const OrderCase& c = GetParam();
    EXPECT_EQ(c.x < c.y, c.xFirst);
    EXPECT_EQ(c.y < c.x, c.yFirst);
}

Asbd coded(OSType id, double rate = 0, UInt32 channels = 0, UInt32 bits = 0)
{
    return Asbd{rate, id, 0, 0, 0, 0, channels, bits, 0};
}

const OrderCase kOrderCases[] = {
    {"LinearPCMFirst", coded(kAudioFormatLinearPCM, 0, 0, 32), coded(kAAC, 0, 0, 16), true, false},
    {"OtherIdentifiersByValue", coded(kAAC), coded(kAudioFormatAppleLossless), true, false},
    {"MixableBeforeNonMixableWhateverBits", pcm(0, 0xC, 4, 1, 32), pcm(0, 0x4C, 2, 1, 16), true, false},
    {"IntegerBeforeFloat", pcm(0, 0x9, 4, 1, 16), pcm(0, 0xC, 2, 1, 32), false, true},
    {"FewerBitsFirst", pcm(0, 0xC, 2, 1, 16), pcm(0, 0xC, 3, 1, 24), true, false},
    {"LowerRateFirst", pcm(44100.0, 0xC, 2, 1, 16), pcm(48000.0, 0xC, 2, 1, 16), true, false},
    {"FewerChannelsFirst", pcm(0, 0xC, 2, 1, 16), pcm(0, 0xC, 4, 2, 16), true, false},
    {"BitsDecideBeforeRate", pcm(96000.0, 0xC, 2, 1, 16), pcm(44100.0, 0xC, 3, 1, 24), true, false},
    {"ZeroIdentifierOrderedByBits", coded(0, 0, 0, 16), coded(kAAC, 0, 0, 24), true, false},
    {"ZeroIdentifierOrderedByRate", coded(0, 8000.0), coded(kAudioFormatLinearPCM, 22050.0), true, false},
    {"ZeroIdentifierOrderedByChannels", coded(kAAC, 0, 2), coded(0, 0, 6), true, false},
    {"ZeroFieldsSkipped", coded(kAAC, 0, 2, 0), coded(kAAC, 44100.0, 0, 16), false, false},
    {"AgreeingRecordsUnordered", pcm(44100.0, 0xC, 4, 2, 16), pcm(44100.0, 0xE, 8, 2, 16), false, false},
    {"NonPCMFlagsTakeNoPart", Asbd{0, kAAC, 0x40, 0, 0, 0, 0, 0, 0}, Asbd{0, kAAC, 0x1, 0, 0, 0, 0, 0, 0}, false,
     false},
};

INSTANTIATE_TEST_SUITE_P(Order, OrderTable, testing::ValuesIn(kOrderCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NormalizeCase {
    const char* name;
    Asbd input;
    Asbd oneArgument;
    Asbd bigEndian;  // the two-argument form with false
};

class NormalizeTable : public testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeTable, BothForms)
{
    const NormalizeCase& c = GetParam();
    Asbd one = c.input;
    CAStreamBasicDescription::NormalizeLinearPCMFormat(one);
    EXPECT_TRUE(sameBytes(one, c.oneArgument));

    Asbd little = c.input;
    CAStreamBasicDescription::NormalizeLinearPCMFormat(true, little);
    EXPECT_TRUE(sameBytes(little, c.oneArgument));

    Asbd big = c.input;
    CAStreamBasicDescription::NormalizeLinearPCMFormat(false, big);
    EXPECT_TRUE(sameBytes(big, c.bigEndian));
}

const NormalizeCase kNormalizeCases[] = {
    {"NonInterleavedInteger", Asbd{44100.0, kAudioFormatLinearPCM, 0x2C, 2, 1, 2, 2, 16, 5},
     Asbd{44100.0, kAudioFormatLinearPCM, 0x9, 8, 1, 8, 2, 32, 5},
     Asbd{44100.0, kAudioFormatLinearPCM, 0xB, 8, 1, 8, 2, 32, 5}},
    {"FractionBitsCleared", Asbd{0, kAudioFormatLinearPCM, 0xC0C, 4, 4, 4, 1, 32, 0},
     Asbd{0, kAudioFormatLinearPCM, 0x9, 4, 1, 4, 1, 32, 0}, Asbd{0, kAudioFormatLinearPCM, 0xB, 4, 1, 4, 1, 32, 0}},
    {"ByteCountsWrap", Asbd{0, kAudioFormatLinearPCM, 0xC, 0, 0, 0, 0x40000001, 16, 0},
     Asbd{0, kAudioFormatLinearPCM, 0x9, 4, 1, 4, 0x40000001, 32, 0},
     Asbd{0, kAudioFormatLinearPCM, 0xB, 4, 1, 4, 0x40000001, 32, 0}},
    {"NonMixableUnchanged", Asbd{0, kAudioFormatLinearPCM, 0x4C, 4, 1, 4, 2, 16, 0},
     Asbd{0, kAudioFormatLinearPCM, 0x4C, 4, 1, 4, 2, 16, 0}, Asbd{0, kAudioFormatLinearPCM, 0x4C, 4, 1, 4, 2, 16, 0}},
    {"NonPCMUnchanged", Asbd{0, kAAC, 0xC, 4, 1, 4, 2, 16, 0}, Asbd{0, kAAC, 0xC, 4, 1, 4, 2, 16, 0},
     Asbd{0, kAAC, 0xC, 4, 1, 4, 2, 16, 0}},
};

INSTANTIATE_TEST_SUITE_P(Normalize, NormalizeTable, testing::ValuesIn(kNormalizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FillOutFormat, FillsExactlyTheZeroFields)
{
    Asbd target{0.0, kAudioFormatLinearPCM, 0, 0, 1, 0, 2, 0, 7};
    const Asbd source{48000.0, kAAC, 0xC, 4, 1024, 8, 6, 16, 9};
    CAStreamBasicDescription::FillOutFormat(target, source);
    EXPECT_TRUE(sameBytes(target, Asbd{48000.0, kAudioFormatLinearPCM, 0xC, 4, 1, 8, 2, 16, 7}));
}

TEST(FillOutFormat, NegativeZeroRateIsFilledAndNaNIsNot)
{
    Asbd negativeZero{-0.0, 0, 0, 0, 0, 0, 0, 0, 0};
    CAStreamBasicDescription::FillOutFormat(negativeZero, Asbd{22050.0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(negativeZero.mSampleRate, 22050.0);

    Asbd nan{kNaN, 0, 0, 0, 0, 0, 0, 0, 0};
    CAStreamBasicDescription::FillOutFormat(nan, Asbd{22050.0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(std::isnan(nan.mSampleRate));
}

TEST(ResetFormat, KeepsReserved)
{
    Asbd desc{44100.0, kAAC, 1, 2, 3, 4, 5, 6, 7};
    CAStreamBasicDescription::ResetFormat(desc);
    EXPECT_TRUE(sameBytes(desc, Asbd{0, 0, 0, 0, 0, 0, 0, 0, 7}));
}

struct WordCase {
    const char* name;
    Asbd desc;
    UInt32 wordSize;
    UInt32 buffers;
    UInt32 channelsPerBuffer;
};

class WordTable : public testing::TestWithParam<WordCase> {};

TEST_P(WordTable, SizesAndBuffers)
{
    const CAStreamBasicDescription desc(GetParam().desc);
    EXPECT_EQ(desc.SampleWordSize(), GetParam().wordSize);
    EXPECT_EQ(desc.BufferCount(), GetParam().buffers);
    EXPECT_EQ(desc.ChannelsPerBuffer(), GetParam().channelsPerBuffer);
}

const WordCase kWordCases[] = {
    {"Interleaved", pcm(0, 0xC, 8, 2, 16), 4, 1, 2},
    {"NonInterleaved", pcm(0, 0x2C, 4, 2, 32), 4, 2, 1},
    {"NonInterleavedWithoutChannels", pcm(0, 0x2C, 4, 0, 32), 4, 0, 1},
    {"NoBytesPerFrame", pcm(0, 0x2C, 0, 2, 32), 0, 2, 1},
    {"InterleavedWithoutChannels", pcm(0, 0xC, 8, 0, 16), 0, 1, 0},
    {"RoundsDown", pcm(0, 0xC, 7, 2, 16), 3, 1, 2},
    // The non-interleaved flag means nothing outside linear PCM.
    {"NonPCM", Asbd{0, kAAC, 0x20, 0, 0, 6, 4, 0, 0}, 1, 1, 4},
};

INSTANTIATE_TEST_SUITE_P(Word, WordTable, testing::ValuesIn(kWordCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct SanityCase {
    const char* name;
    Asbd desc;
    bool plausible;
};

class SanityTable : public testing::TestWithParam<SanityCase> {};

TEST_P(SanityTable, Plausibility)
{
    EXPECT_EQ(SanityCheck(GetParam().desc), GetParam().plausible);
}

Asbd aac(double rate, UInt32 bytesPerPacket, UInt32 framesPerPacket, UInt32 bytesPerFrame, UInt32 channels, UInt32 bits)
{
    return Asbd{rate, kAAC, 0, bytesPerPacket, framesPerPacket, bytesPerFrame, channels, bits, 0};
}

const SanityCase kSanityCases[] = {
    {"AllZeroButIdentifier", aac(0, 0, 0, 0, 0, 0), true},
    {"RateAtLimit", aac(3000000.0, 0, 0, 0, 0, 0), false},
    {"RateBelowLimit", aac(2999999.0, 0, 0, 0, 0, 0), true},
    {"NegativeRate", aac(-1.0, 0, 0, 0, 0, 0), false},
    {"NegativeZeroRate", aac(-0.0, 0, 0, 0, 0, 0), true},
    {"NaNRate", aac(kNaN, 0, 0, 0, 0, 0), false},
    {"InfiniteRate", aac(std::numeric_limits<double>::infinity(), 0, 0, 0, 0, 0), false},
    {"MaxChannels", aac(0, 0, 0, 0, 1024, 0), true},
    {"TooManyChannels", aac(0, 0, 0, 0, 1025, 0), false},
    {"MaxBits", aac(0, 0, 0, 0, 0, 1024), true},
    {"TooManyBits", aac(0, 0, 0, 0, 0, 1025), false},
    {"MaxBytesPerFrame", aac(0, 0, 0, 999999, 0, 0), true},
    {"TooManyBytesPerFrame", aac(0, 0, 0, 1000000, 0, 0), false},
    {"TooManyBytesPerPacket", aac(0, 1000000, 0, 0, 0, 0), false},
    {"TooManyFramesPerPacket", aac(0, 0, 1000000, 0, 0, 0), false},
    {"HugeUnsignedCount", aac(0, 0xFFFFFFFF, 0, 0, 0, 0), false},
    {"NoIdentifier", Asbd{44100.0, 0, 0xC, 4, 1, 4, 2, 16, 0}, false},
    {"PCM", pcm(44100.0, 0xC, 4, 2, 16), true},
    {"PCMTwoFramesPerPacket", Asbd{44100.0, kAudioFormatLinearPCM, 0xC, 4, 2, 4, 2, 16, 0}, false},
    {"PCMPacketUnlikeFrame", Asbd{44100.0, kAudioFormatLinearPCM, 0xC, 4, 1, 8, 2, 16, 0}, false},
    {"NonPCMLargePackets", aac(44100.0, 0, 1024, 4, 2, 0), true},
};

INSTANTIATE_TEST_SUITE_P(Sanity, SanityTable, testing::ValuesIn(kSanityCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
