#include "toolkit/au_output_bl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

namespace {

AudioStreamBasicDescription format(AudioFormatID id, AudioFormatFlags flags, UInt32 bytesPerFrame, UInt32 channels)
{
    AudioStreamBasicDescription d{};
    d.mSampleRate = 44100.0;
    d.mFormatID = id;
    d.mFormatFlags = flags;
    d.mBytesPerPacket = bytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = bytesPerFrame;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = 32;
    return d;
}

constexpr AudioFormatFlags kFloatNonInterleaved =
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;

const AudioStreamBasicDescription kStereoNonInterleaved = format(kAudioFormatLinearPCM, kFloatNonInterleaved, 4, 2);

bool allZero(const AUOutputBL& bl)
{
    const std::byte* m = bl.BufferMemory();
    return std::all_of(m, m + std::size_t(bl.GetNumberBuffers()) * bl.BytesPerBuffer(),
                       [](std::byte b) { return b == std::byte{0}; });
}

TEST(BufferListLayout, BuffersAndChannelsPerFormat)
{
    struct Case {
        AudioStreamBasicDescription format;
        UInt32 buffers, channelsPerBuffer;
    };
    const Case cases[] = {
        {kStereoNonInterleaved, 2, 1},
        {format(kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 2), 1, 2},
        {format(fourCharCode("aac "), kAudioFormatFlagIsNonInterleaved, 0, 6), 1, 6},  // flag means nothing there
    };
    for (const Case& c : cases) {
        AUOutputBL bl(c.format, 256);
        EXPECT_EQ(bl.GetNumberBuffers(), c.buffers);
        EXPECT_EQ(bl.FrameCount(), 256u);
        EXPECT_EQ(bl.BufferMemory(), nullptr);
        bl.Prepare(16);
        ASSERT_EQ(bl.ABL()->mNumberBuffers, c.buffers);
        for (UInt32 i = 0; i < c.buffers; ++i)
            EXPECT_EQ(bl.ABL()->mBuffers[i].mNumberChannels, c.channelsPerBuffer);
    }
}

TEST(BufferListAllocation, RoundsEachBufferToAnOddMultipleOf16)
{
    const std::pair<UInt32, UInt32> needToRounded[] = {{1, 16},    {15, 16},   {16, 48},   {17, 48},    {96, 112},
                                                       {100, 112}, {112, 144}, {128, 144}, {2048, 2064}};
    const AudioStreamBasicDescription oneBytePerFrame = format(kAudioFormatLinearPCM, kFloatNonInterleaved, 1, 2);
    for (const auto& [need, rounded] : needToRounded) {
        AUOutputBL bl(oneBytePerFrame, 0);
        bl.Allocate(need);
        EXPECT_EQ(bl.BytesPerBuffer(), rounded) << need;
    }
}

TEST(BufferListAllocation, StereoNonInterleavedScenario)
{
    AUOutputBL bl(kStereoNonInterleaved, 0);
    bl.Allocate(512);
    EXPECT_EQ(bl.BytesPerBuffer(), 2064u);
    EXPECT_EQ(bl.FrameCount(), 512u);
    ASSERT_NE(bl.BufferMemory(), nullptr);
    EXPECT_TRUE(allZero(bl));

    bl.Prepare(512);
    const AudioBufferList& list = *bl.ABL();
    EXPECT_EQ(list.mBuffers[0].mDataByteSize, 2048u);
    EXPECT_EQ(list.mBuffers[1].mDataByteSize, 2048u);
    EXPECT_EQ(list.mBuffers[0].mData, bl.BufferMemory());
    EXPECT_EQ(static_cast<std::byte*>(list.mBuffers[1].mData), bl.BufferMemory() + 2064) << "the allocated stride";

    // Too many frames: the list stays as it was.
    EXPECT_THROW(
        try { bl.Prepare(600); } catch (OSStatus status) {
            EXPECT_EQ(status, -10874);
            throw;
        },
        OSStatus);
    EXPECT_EQ(list.mBuffers[1].mDataByteSize, 2048u);

    // Growing to 520 frames (2080 bytes > 2064) makes a new zeroed block of 2 x 2096 bytes.
    std::fill_n(static_cast<std::byte*>(list.mBuffers[0].mData), 2048, std::byte{0x55});
    bl.Allocate(520);
    EXPECT_EQ(bl.BytesPerBuffer(), 2096u);
    EXPECT_TRUE(allZero(bl));
    EXPECT_NO_THROW(bl.Prepare(520));
    EXPECT_EQ(list.mBuffers[1].mData, bl.BufferMemory() + 2096);
}

TEST(BufferListAllocation, GrowsOnlyAndFreesForZero)
{
    AUOutputBL bl(format(kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 2), 0);
    bl.Allocate(512);
    EXPECT_EQ(bl.BytesPerBuffer(), 4096u) << "one buffer: no rounding";
    const std::byte* memory = bl.BufferMemory();
    bl.Allocate(256);
    EXPECT_EQ(bl.BufferMemory(), memory);
    EXPECT_EQ(bl.BytesPerBuffer(), 4096u);
    EXPECT_EQ(bl.FrameCount(), 512u);
    bl.Allocate(0);
    EXPECT_EQ(bl.BufferMemory(), nullptr);
    EXPECT_EQ(bl.BytesPerBuffer(), 0u);
    EXPECT_EQ(bl.FrameCount(), 0u);
}

TEST(BufferListPrepare, NullBuffersWithoutMemoryOrWhenAsked)
{
    AUOutputBL bl(kStereoNonInterleaved, 0);
    bl.Prepare(4096);  // no memory: no size check
    for (UInt32 i = 0; i < 2; ++i) {
        EXPECT_EQ(bl.ABL()->mBuffers[i].mData, nullptr);
        EXPECT_EQ(bl.ABL()->mBuffers[i].mDataByteSize, 4096u * 4);
    }
    bl.Allocate(16);
    EXPECT_NO_THROW(bl.Prepare(4096, true));
    EXPECT_EQ(bl.ABL()->mBuffers[1].mData, nullptr);
    EXPECT_EQ(bl.FrameCount(), 16u) << "Prepare leaves the frame count alone";
}

TEST(BufferListLimits, SizesBeyond32BitsAreRefused)
{
    // 2^31 frames of 4 bytes: a 32-bit product would wrap to 0 and pass every check.
    AUOutputBL bl(kStereoNonInterleaved, 0);
    bl.Allocate(16);
    EXPECT_THROW(bl.Prepare(0x80000000u), OSStatus);
    EXPECT_THROW(bl.Prepare(0x80000000u, true), OSStatus);
    EXPECT_THROW(bl.Allocate(0x40000000u), std::bad_alloc);  // 4 GiB per buffer
    EXPECT_EQ(bl.BytesPerBuffer(), 80u) << "unchanged after a failed Allocate";
    EXPECT_EQ(bl.FrameCount(), 16u);
}

}  // namespace
