#include "toolkit/au_output_bl.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

bool isNonInterleavedPCM(const AudioStreamBasicDescription& format)
{
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
}

}  // namespace

void AUOutputBL::FreeDeleter::operator()(void* p) const noexcept
{
    std::free(p);
}

AUOutputBL::AUOutputBL(const AudioStreamBasicDescription& format, UInt32 frameCount)
    : mFormat(format), mNumberBuffers(isNonInterleavedPCM(format) ? format.mChannelsPerFrame : 1), mFrames(frameCount)
{
    // calloc both zeroes the list and creates its objects (the types are implicit-lifetime).
    const std::size_t bytes =
        offsetof(AudioBufferList, mBuffers) + std::max<std::size_t>(mNumberBuffers, 1) * sizeof(AudioBuffer);
    mBufferList.reset(static_cast<AudioBufferList*>(std::calloc(1, bytes)));
    if (!mBufferList)
        throw std::bad_alloc();
}

AUOutputBL::~AUOutputBL() = default;

void AUOutputBL::Allocate(UInt32 frameCount)
{
    if (frameCount == 0) {
        mBufferMemory.reset();
        mBufferSize = 0;
        mFrames = 0;
        return;
    }
    // 64-bit arithmetic: a 32-bit product could wrap and hand out buffers smaller than they claim.
    std::uint64_t need = std::uint64_t(frameCount) * mFormat.mBytesPerFrame;
    if (need <= mBufferSize)
        return;
    // Odd multiples of 16 keep the channels' buffers from starting at the same cache offsets.
    if (mNumberBuffers >= 2)
        need = ((need & ~std::uint64_t(0xF)) + 16) | 16;
    if (need > UINT32_MAX || need * mNumberBuffers > SIZE_MAX)
        throw std::bad_alloc();
    std::unique_ptr<std::byte[]> memory(new std::byte[std::size_t(need * mNumberBuffers)]());
    mBufferMemory = std::move(memory);
    mBufferSize = UInt32(need);
    mFrames = frameCount;
}

void AUOutputBL::Prepare(UInt32 frameCount, bool wantNullBufferIfAllocated)
{
    const std::uint64_t bytes = std::uint64_t(frameCount) * mFormat.mBytesPerFrame;
    if (bytes > UINT32_MAX)
        throw OSStatus(kAudioUnitErr_TooManyFramesToProcess);
    const UInt32 channelsPerBuffer = isNonInterleavedPCM(mFormat) ? 1 : mFormat.mChannelsPerFrame;
    const bool pointIntoMemory = mBufferMemory && !wantNullBufferIfAllocated;
    if (pointIntoMemory && bytes * mNumberBuffers > std::uint64_t(mBufferSize) * mNumberBuffers)
        throw OSStatus(kAudioUnitErr_TooManyFramesToProcess);

    mBufferList->mNumberBuffers = mNumberBuffers;
    AudioBuffer* buffers = mBufferList->mBuffers;
    for (UInt32 i = 0; i < mNumberBuffers; ++i) {
        buffers[i].mNumberChannels = channelsPerBuffer;
        buffers[i].mDataByteSize = UInt32(bytes);
        buffers[i].mData = pointIntoMemory ? mBufferMemory.get() + std::size_t(i) * mBufferSize : nullptr;
    }
}
