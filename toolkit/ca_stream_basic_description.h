#pragma once
// CAStreamBasicDescription: the stream format record with constructors, normalisation, completion,
// wildcard equality, a sort order, a plausibility test, its text forms and a format text parser.
// A zero field (0, or 0.0 for the sample rate) is a wildcard: it is unspecified.

#include "toolkit/audio_stream_basic_description.h"

#include <cstddef>
#include <type_traits>

class CAStreamBasicDescription : public AudioStreamBasicDescription {
public:
    // All nine fields zero, in read-only storage.
    static const CAStreamBasicDescription sEmpty;

    // The syntax of the texts `FromText` reads, two lines each ending in a line end.
    static const char* const sTextParsingUsageString;

    // All nine fields zero, reserved included.
    constexpr CAStreamBasicDescription() noexcept : AudioStreamBasicDescription{} {}

    // Copies all nine fields, reserved included.
    constexpr CAStreamBasicDescription(const AudioStreamBasicDescription& desc) noexcept
        : AudioStreamBasicDescription(desc)
    {
    }

    // Stores each value in its field (the flags, passed last, go to the third field); reserved is 0.
    constexpr CAStreamBasicDescription(double inSampleRate, UInt32 inFormatID, UInt32 inBytesPerPacket,
                                       UInt32 inFramesPerPacket, UInt32 inBytesPerFrame, UInt32 inChannelsPerFrame,
                                       UInt32 inBitsPerChannel, UInt32 inFormatFlags) noexcept
        : AudioStreamBasicDescription{inSampleRate,       inFormatID,        inFormatFlags,
                                      inBytesPerPacket,   inFramesPerPacket, inBytesPerFrame,
                                      inChannelsPerFrame, inBitsPerChannel,  0}
    {
    }

    // Canonical packed 32-bit float linear PCM, little-endian: flags 0x9, 4 bytes per channel in a
    // frame and a packet, 1 frame per packet, 32 bits. Rate, identifier, channels and reserved are
    // kept. A record that is not 'lpcm', or that has the non-mixable flag, is left unchanged.
    static void NormalizeLinearPCMFormat(AudioStreamBasicDescription& ioDescription) noexcept;

    // The same, little-endian (flags 0x9) when `inNativeEndian` is true, big-endian (0xB) when false.
    static void NormalizeLinearPCMFormat(bool inNativeEndian, AudioStreamBasicDescription& ioDescription) noexcept;

    // Sets the first eight fields to zero; reserved keeps its value.
    static void ResetFormat(AudioStreamBasicDescription& ioDescription) noexcept;

    // Fills each of the first eight fields of `ioDescription` that is zero (a sample rate that
    // compares equal to 0.0, so -0.0 too but not a NaN) from `inTemplateDescription`.
    static void FillOutFormat(AudioStreamBasicDescription& ioDescription,
                              const AudioStreamBasicDescription& inTemplateDescription) noexcept;

    // With `interpretingWildcards` true: `operator==`. With false: the first eight fields compared
    // byte for byte (0.0 and -0.0 differ; NaNs with the same bits are equal); reserved is ignored.
    bool IsEqual(const AudioStreamBasicDescription& other, bool interpretingWildcards) const noexcept;

    // Bytes of one channel's sample inside a frame: 0 without bytes per frame; bytes per frame for
    // non-interleaved linear PCM; otherwise bytes per frame / channels per frame (0 without channels).
    UInt32 SampleWordSize() const noexcept;

    // Channels per frame for non-interleaved linear PCM, otherwise 1.
    UInt32 BufferCount() const noexcept;

    // 1 for non-interleaved linear PCM, otherwise channels per frame.
    UInt32 ChannelsPerBuffer() const noexcept;

    // One-line technical description, e.g. " 2 ch,  44100 Hz, 'lpcm' (0x0000000C) 16-bit little-endian
    // signed integer". Writes at most `bufferSize` bytes, terminated when `bufferSize` is at least 1;
    // text that does not fit is cut. Returns `buffer`.
    char* AsString(char* buffer, std::size_t bufferSize) const noexcept;

    // Human-readable name, e.g. "Mixable 2 Ch SInt16" (abbreviated) or "Mixable 2 Channel 16 Bit
    // Signed Integer", preceded by the rate and a space ("44100 ") when `inIncludeSampleRate`.
    // Writes at most `inMaxNameLength` bytes, terminated when that is at least 1; cut to fit.
    static void GetSimpleName(const AudioStreamBasicDescription& inDescription, char* outName, UInt32 inMaxNameLength,
                              bool inAbbreviate, bool inIncludeSampleRate = false) noexcept;

    // Reads a format text such as "F32@44100,2" or "aac@44100#1024" into `outDesc` (cleared
    // first). Returns true when the whole text was read. On false `outDesc` holds what was read so
    // far and is not meant to be used; malformed fields and left-over characters are reported on
    // standard error, ending with "Invalid format string: TEXT" and "Syntax of format strings is: ".
    // No range is tested: apply `SanityCheck` to the result when plausible values are needed.
    static bool FromText(const char* inTextDesc, AudioStreamBasicDescription& outDesc) noexcept;
};

static_assert(sizeof(CAStreamBasicDescription) == sizeof(AudioStreamBasicDescription));
static_assert(std::is_standard_layout_v<CAStreamBasicDescription>);
static_assert(!std::is_polymorphic_v<CAStreamBasicDescription>);
static_assert(std::is_trivially_copyable_v<CAStreamBasicDescription>);

inline constexpr CAStreamBasicDescription CAStreamBasicDescription::sEmpty{};

// Equality with wildcards: a field that is zero on either side is skipped; linear PCM flag words
// are compared after removing bits that make no difference to the samples' layout.
bool operator==(const AudioStreamBasicDescription& x, const AudioStreamBasicDescription& y) noexcept;

// Sort order: 'lpcm' first, then other identifiers by value; among linear PCM, mixable before
// non-mixable and integer before float; then by bits per channel, sample rate and channels per
// frame. Zero fields are skipped, so the order is strict only among fully specified records.
bool operator<(const AudioStreamBasicDescription& x, const AudioStreamBasicDescription& y) noexcept;

// Plausibility: 0 <= rate < 3,000,000; byte and packet counts at most 999,999; channels and bits at
// most 1024; an identifier; for 'lpcm' 1 frame per packet and equal bytes per packet and per frame.
bool SanityCheck(const AudioStreamBasicDescription& x) noexcept;
