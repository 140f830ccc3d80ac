#include "toolkit/ca_stream_basic_description.h"

#include <cstring>

namespace {

bool isLinearPCM(const AudioStreamBasicDescription& desc) noexcept
{
    return desc.mFormatID == kAudioFormatLinearPCM;
}

bool isNonInterleavedPCM(const AudioStreamBasicDescription& desc) noexcept
{
    return isLinearPCM(desc) && (desc.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

// A zero on either side is a wildcard.
bool fieldsMatch(UInt32 x, UInt32 y) noexcept
{
    return x == 0 || y == 0 || x == y;
}

// Linear PCM flag words are compared without the bits that cannot change how samples are laid out
// in the given records.
bool pcmFlagsMatch(const AudioStreamBasicDescription& x, const AudioStreamBasicDescription& y) noexcept
{
    UInt32 xFlags = x.mFormatFlags & ~kAudioFormatFlagsAreAllClear;
    UInt32 yFlags = y.mFormatFlags & ~kAudioFormatFlagsAreAllClear;

    if ((xFlags & yFlags & kAudioFormatFlagIsPacked) != 0) {
        xFlags &= ~kAudioFormatFlagIsAlignedHigh;
        yFlags &= ~kAudioFormatFlagIsAlignedHigh;
    }
    if ((xFlags & yFlags & kAudioFormatFlagIsFloat) != 0) {
        xFlags &= ~kAudioFormatFlagIsSignedInteger;
        yFlags &= ~kAudioFormatFlagIsSignedInteger;
    }
    // A packed sample of one byte or less has no byte order.
    if ((xFlags & kAudioFormatFlagIsPacked) != 0 && x.mBitsPerChannel <= 8)
        xFlags &= ~kAudioFormatFlagIsBigEndian;
    if ((yFlags & kAudioFormatFlagIsPacked) != 0 && y.mBitsPerChannel <= 8)
        yFlags &= ~kAudioFormatFlagIsBigEndian;
    // One channel is the same stream whether or not it is called interleaved.
    if (x.mChannelsPerFrame == 1 && y.mChannelsPerFrame == 1) {
        xFlags &= ~kAudioFormatFlagIsNonInterleaved;
        yFlags &= ~kAudioFormatFlagIsNonInterleaved;
    }
    return xFlags == yFlags;
}

void normalize(AudioStreamBasicDescription& desc, AudioFormatFlags floatFlags) noexcept
{
    if (!isLinearPCM(desc) || (desc.mFormatFlags & kAudioFormatFlagIsNonMixable) != 0)
        return;
    const UInt32 wordSize = sizeof(float);
    desc.mFormatFlags = floatFlags;
    desc.mBytesPerPacket = wordSize * desc.mChannelsPerFrame;
    desc.mFramesPerPacket = 1;
    desc.mBytesPerFrame = wordSize * desc.mChannelsPerFrame;
    desc.mBitsPerChannel = 8 * wordSize;
}

}  // namespace

void CAStreamBasicDescription::NormalizeLinearPCMFormat(AudioStreamBasicDescription& ioDescription) noexcept
{
    normalize(ioDescription, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
}

void CAStreamBasicDescription::NormalizeLinearPCMFormat(bool inNativeEndian,
                                                        AudioStreamBasicDescription& ioDescription) noexcept
{
    normalize(ioDescription,
              kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | (inNativeEndian ? 0 : kAudioFormatFlagIsBigEndian));
}

void CAStreamBasicDescription::ResetFormat(AudioStreamBasicDescription& ioDescription) noexcept
{
    const UInt32 reserved = ioDescription.mReserved;
    ioDescription = AudioStreamBasicDescription{};
    ioDescription.mReserved = reserved;
}

void CAStreamBasicDescription::FillOutFormat(AudioStreamBasicDescription& ioDescription,
                                             const AudioStreamBasicDescription& inTemplateDescription) noexcept
{
    auto fill = [](UInt32& field, UInt32 from) {
        if (field == 0)
            field = from;
    };
    if (ioDescription.mSampleRate == 0.0)
        ioDescription.mSampleRate = inTemplateDescription.mSampleRate;
    fill(ioDescription.mFormatID, inTemplateDescription.mFormatID);
    fill(ioDescription.mFormatFlags, inTemplateDescription.mFormatFlags);
    fill(ioDescription.mBytesPerPacket, inTemplateDescription.mBytesPerPacket);
    fill(ioDescription.mFramesPerPacket, inTemplateDescription.mFramesPerPacket);
    fill(ioDescription.mBytesPerFrame, inTemplateDescription.mBytesPerFrame);
    fill(ioDescription.mChannelsPerFrame, inTemplateDescription.mChannelsPerFrame);
    fill(ioDescription.mBitsPerChannel, inTemplateDescription.mBitsPerChannel);
}

bool CAStreamBasicDescription::IsEqual(const AudioStreamBasicDescription& other,
                                       bool interpretingWildcards) const noexcept
{
    if (interpretingWildcards)
        return *this == other;
    // The bytes before reserved: the rate's bit pattern counts, not its numeric value.
    return std::memcmp(static_cast<const AudioStreamBasicDescription*>(this), &other,
                       offsetof(AudioStreamBasicDescription, mReserved)) == 0;
}

UInt32 CAStreamBasicDescription::SampleWordSize() const noexcept
{
    if (mBytesPerFrame == 0)
        return 0;
    if (isNonInterleavedPCM(*this))
        return mBytesPerFrame;  // a frame of one buffer holds one channel
    if (mChannelsPerFrame == 0)
        return 0;
    return mBytesPerFrame / mChannelsPerFrame;
}

UInt32 CAStreamBasicDescription::BufferCount() const noexcept
{
    return isNonInterleavedPCM(*this) ? mChannelsPerFrame : 1;
}

UInt32 CAStreamBasicDescription::ChannelsPerBuffer() const noexcept
{
    return isNonInterleavedPCM(*this) ? 1 : mChannelsPerFrame;
}

bool operator==(const AudioStreamBasicDescription& x, const AudioStreamBasicDescription& y) noexcept
{
    if (x.mSampleRate != 0.0 && y.mSampleRate != 0.0 && !(x.mSampleRate == y.mSampleRate))
        return false;
    if (!fieldsMatch(x.mFormatID, y.mFormatID))
        return false;
    if (x.mFormatID != 0 && y.mFormatID != 0 && x.mFormatFlags != 0 && y.mFormatFlags != 0) {
        // The identifiers are equal here.
        if (isLinearPCM(x) ? !pcmFlagsMatch(x, y) : x.mFormatFlags != y.mFormatFlags)
            return false;
    }
    return fieldsMatch(x.mBytesPerPacket, y.mBytesPerPacket) && fieldsMatch(x.mFramesPerPacket, y.mFramesPerPacket) &&
           fieldsMatch(x.mBytesPerFrame, y.mBytesPerFrame) && fieldsMatch(x.mChannelsPerFrame, y.mChannelsPerFrame) &&
           fieldsMatch(x.mBitsPerChannel, y.mBitsPerChannel);
}

bool operator<(const AudioStreamBasicDescription& x, const AudioStreamBasicDescription& y) noexcept
{
    if (x.mFormatID != 0 && y.mFormatID != 0 && x.mFormatID != y.mFormatID) {
        if (isLinearPCM(x))
            return true;
        if (isLinearPCM(y))
            return false;
        return x.mFormatID < y.mFormatID;
    }
    if (isLinearPCM(x) && isLinearPCM(y)) {
        const bool xMixable = (x.mFormatFlags & kAudioFormatFlagIsNonMixable) == 0;
        const bool yMixable = (y.mFormatFlags & kAudioFormatFlagIsNonMixable) == 0;
        if (xMixable != yMixable)
            return xMixable;
        const bool xFloat = (x.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
        const bool yFloat = (y.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
        if (xFloat != yFloat)
            return yFloat;  // integer before float
    }
    if (x.mBitsPerChannel != 0 && y.mBitsPerChannel != 0 && x.mBitsPerChannel != y.mBitsPerChannel)
        return x.mBitsPerChannel < y.mBitsPerChannel;
    if (x.mSampleRate != 0.0 && y.mSampleRate != 0.0 && x.mSampleRate != y.mSampleRate)
        return x.mSampleRate < y.mSampleRate;
    if (x.mChannelsPerFrame != 0 && y.mChannelsPerFrame != 0 && x.mChannelsPerFrame != y.mChannelsPerFrame)
        return x.mChannelsPerFrame < y.mChannelsPerFrame;
    return false;
}

bool SanityCheck(const AudioStreamBasicDescription& x) noexcept
{
    constexpr Float64 kRateLimit = 3000000.0;
    constexpr UInt32 kByteCountLimit = 999999;
    constexpr UInt32 kChannelAndBitLimit = 1024;

    if (!(x.mSampleRate >= 0.0 && x.mSampleRate < kRateLimit))  // a NaN fails too
        return false;
    if (x.mBytesPerPacket > kByteCountLimit || x.mFramesPerPacket > kByteCountLimit ||
        x.mBytesPerFrame > kByteCountLimit)
        return false;
    if (x.mChannelsPerFrame > kChannelAndBitLimit || x.mBitsPerChannel > kChannelAndBitLimit)
        return false;
    if (x.mFormatID == 0)
        return false;
    if (isLinearPCM(x) && (x.mFramesPerPacket != 1 || x.mBytesPerPacket != x.mBytesPerFrame))
        return false;
    return true;
}
