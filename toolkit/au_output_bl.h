#pragma once
// An owner of an audio buffer list for one stream format, with zeroed sample memory for a number
// of frames, filled in for each render call.

#include "toolkit/audio_stream_basic_description.h"

#include <cstddef>
#include <memory>

// One buffer of a buffer list, in the layout audio renderers expect.
struct AudioBuffer {
    UInt32 mNumberChannels;  // interleaved channels in this buffer
    UInt32 mDataByteSize;    // bytes of valid data at mData
    void* mData;             // null asks the renderer to supply the memory
};

// A buffer count followed by that many buffers (the array really has mNumberBuffers entries).
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

static_assert(offsetof(AudioBuffer, mData) == 8 && sizeof(AudioBuffer) == 8 + sizeof(void*));
static_assert(offsetof(AudioBufferList, mBuffers) == alignof(AudioBuffer));

// The status thrown by AUOutputBL::Prepare when the frames do not fit the allocated memory.
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;

class AUOutputBL {
public:
    // Lays out one buffer per channel for non-interleaved linear PCM ('lpcm' with flag 0x20), one
    // buffer otherwise, and records `frameCount`. Allocates no sample memory. Throws
    // std::bad_alloc when the list itself cannot be allocated.
    AUOutputBL(const AudioStreamBasicDescription& format, UInt32 frameCount);
    ~AUOutputBL();

    AUOutputBL(const AUOutputBL&) = delete;
    AUOutputBL& operator=(const AUOutputBL&) = delete;

    // Makes the sample memory hold `frameCount` frames in every buffer, or frees it for 0. The
    // memory only grows, and a new block is zero-filled. With two or more buffers each buffer's
    // share is rounded up to an odd multiple of 16 bytes. Throws std::bad_alloc, leaving the
    // object as it was, when the memory cannot be had or a buffer would exceed 4 GiB - 1 bytes.
    void Allocate(UInt32 frameCount);

    // Fills in the list for a render of `frameCount` frames: every buffer reports
    // frameCount x bytes per frame bytes and points into the sample memory (buffer i at
    // i x BytesPerBuffer()), or carries a null pointer when there is no memory or
    // `wantNullBufferIfAllocated`. Throws kAudioUnitErr_TooManyFramesToProcess (an OSStatus),
    // leaving the list as it was, when the frames do not fit the allocated buffers or their byte
    // count exceeds 32 bits.
    void Prepare(UInt32 frameCount, bool wantNullBufferIfAllocated = false);

    // The list filled in by the last Prepare (zero buffers before the first).
    AudioBufferList* ABL() noexcept { return mBufferList.get(); }
    const AudioStreamBasicDescription& GetFormat() const noexcept { return mFormat; }
    // Buffers the list holds for this format.
    UInt32 GetNumberBuffers() const noexcept { return mNumberBuffers; }
    // Bytes of sample memory per buffer; 0 while none is allocated.
    UInt32 BytesPerBuffer() const noexcept { return mBufferSize; }
    // Frames given to the constructor, or last allocated; 0 after freeing.
    UInt32 FrameCount() const noexcept { return mFrames; }
    // The sample memory (GetNumberBuffers() x BytesPerBuffer() bytes), or null.
    const std::byte* BufferMemory() const noexcept { return mBufferMemory.get(); }

private:
    struct FreeDeleter {
        void operator()(void* p) const noexcept;
    };

    AudioStreamBasicDescription mFormat;
    std::unique_ptr<std::byte[]> mBufferMemory;
    std::unique_ptr<AudioBufferList, FreeDeleter> mBufferList;
    UInt32 mNumberBuffers;
    UInt32 mBufferSize = 0;
    UInt32 mFrames;
};
