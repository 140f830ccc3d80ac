#pragma once
// The audio stream format record exchanged with audio services. Its field order and widths match
// the record of the same name that audio file services hand out, so lists of them can be copied
// byte for byte.

#include <cstddef>
#include <cstdint>

using OSStatus = std::int32_t;
using OSType = std::uint32_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using Float64 = double;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};

static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mSampleRate) == 0);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mFormatFlags) == 12);
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerPacket) == 16);
static_assert(offsetof(AudioStreamBasicDescription, mFramesPerPacket) == 20);
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerFrame) == 24);
static_assert(offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28);
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);
static_assert(offsetof(AudioStreamBasicDescription, mReserved) == 36);

// Four-character codes: first character in the most significant byte.
constexpr OSType fourCharCode(const char (&code)[5]) noexcept
{
    return (OSType(std::uint8_t(code[0])) << 24) | (OSType(std::uint8_t(code[1])) << 16) |
           (OSType(std::uint8_t(code[2])) << 8) | OSType(std::uint8_t(code[3]));
}

constexpr AudioFormatID kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr AudioFormatID kAudioFormatAppleLossless = fourCharCode("alac");
constexpr AudioFormatID kAudioFormatAC3 = fourCharCode("ac-3");
constexpr AudioFormatID kAudioFormat60958AC3 = fourCharCode("cac3");

// Format flags of linear PCM.
constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 0x1;
constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 0x2;
constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 0x4;
constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 0x8;
constexpr AudioFormatFlags kAudioFormatFlagIsAlignedHigh = 0x10;
constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 0x20;
constexpr AudioFormatFlags kAudioFormatFlagIsNonMixable = 0x40;
constexpr AudioFormatFlags kLinearPCMFormatFlagsSampleFractionShift = 7;
constexpr AudioFormatFlags kLinearPCMFormatFlagsSampleFractionMask = 0x3F << 7;
constexpr AudioFormatFlags kAudioFormatFlagsAreAllClear = 0x80000000u;
