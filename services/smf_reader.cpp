#include "services/smf_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>

namespace brennick {

namespace {

// A track record has 29 bits for the index of a pooled message.
constexpr std::size_t kMaxPooledPerTrack = std::size_t{1} << 29;

std::uint32_t bigEndian(const std::uint8_t* p, int byteCount)
{
    std::uint32_t v = 0;
    for (int i = 0; i < byteCount; ++i)
        v = v << 8 | p[i];
    return v;
}

// Reads a variable-length quantity of at most four bytes (the SMF limit, 0x0FFFFFFF). Returns
// nullptr and advances `p` on success, else where the problem is: `end` when the data runs out,
// or the fourth byte when it still says that more follow.
inline const std::uint8_t* readVlq(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& value)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        if (p == end)
            return end;
        const std::uint8_t b = *p++;
        v = v << 7 | (b & 0x7F);
        if (!(b & 0x80)) {
            value = v;
            return nullptr;
        }
    }
    return p - 1;
}

// Asks the system to provide the pages of [begin, begin + bytes) that are about to be written, in
// one call rather than one fault per page: a first touch of a page is the dearest part of filling
// fresh memory (on virtual machines above all). Pages at the unaligned ends are left to fault.
// Where the call is not supported (kernels before 5.14) the pages fault in as they are written.
void prepareForWriting(void* begin, std::size_t bytes) noexcept
{
#ifdef MADV_POPULATE_WRITE
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(page - 1);
    if (from < to)
        (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)begin;
    (void)bytes;
#endif
}

struct TrackOutcome {
    std::uint64_t lengthTicks = 0;
    std::optional<std::size_t> problemOffset;
};

}  // namespace

// Fills a MidiTrack from one track chunk's data.
class SmfTrackWriter {
public:
    // Reads the events of [begin, end) into `track`, tempo changes into `tempos`. Throws
    // std::bad_alloc when memory runs out.
    // Not inlined into the chunk loop: its state fits in registers only on its own.
    [[gnu::noinline]] static TrackOutcome read(const std::uint8_t* begin, const std::uint8_t* end,
                                               std::size_t fileOffset, MidiTrack& track,
                                               std::vector<TempoChange>& tempos);

private:
    using Record = MidiTrack::Record;

    // Every event takes at least two bytes (a delta and a data byte under running status), so a
    // chunk never holds more records than half its length. Room for that many costs only address
    // space until it is written, and the unused end is given back; where even the address space is
    // refused, the block starts smaller and grows.
    struct Block {
        Record* base;
        std::size_t capacity;
    };
    static Block allocateRecords(MidiTrack& track, std::size_t mostRecords);
    [[gnu::noinline]] static Block growRecords(MidiTrack& track, std::size_t mostRecords, std::size_t capacity);
    // Called when `count` records fill what is prepared: grows a full block, provides the pages of
    // the next stretch, and returns how many records are prepared now.
    [[gnu::noinline]] static std::size_t prepareRecords(MidiTrack& track, Block& block, std::size_t mostRecords,
                                                        std::size_t count);
    static void finishRecords(MidiTrack& track, std::size_t count, std::size_t capacity) noexcept;

    [[gnu::noinline]] static std::size_t addPooled(MidiTrack& track, bool prefixF0, std::uint8_t metaType,
                                                   const std::uint8_t* data, std::uint32_t length);
    [[gnu::noinline]] static void startEpoch(MidiTrack& track, std::uint64_t epoch, std::size_t recordIndex);

    // One 8-byte store where the layout allows it, rather than one per field.
    static void storeRecord(Record* at, std::uint64_t tick, std::uint8_t kindBits, std::uint8_t b0, std::uint8_t b1,
                            std::uint8_t b2) noexcept
    {
        if constexpr (std::endian::native == std::endian::little && sizeof(Record) == 8 &&
                      offsetof(Record, kindAndIndexHigh) == 4 && offsetof(Record, bytes) == 5) {
            const std::uint64_t packed = (tick & 0xFFFFFFFFu) | std::uint64_t{kindBits} << 32 |
                                         std::uint64_t{b0} << 40 | std::uint64_t{b1} << 48 | std::uint64_t{b2} << 56;
            std::memcpy(static_cast<void*>(at), &packed, sizeof packed);
        } else {
            *at = Record{static_cast<std::uint32_t>(tick), kindBits, {b0, b1, b2}};
        }
    }
};

SmfTrackWriter::Block SmfTrackWriter::allocateRecords(MidiTrack& track, std::size_t mostRecords)
{
    constexpr std::size_t kSmallestStart = 4096;
    for (std::size_t want = mostRecords;; want /= 8) {
        want = std::max<std::size_t>(std::min(want, mostRecords), 1);
        if (void* block = std::malloc(want * sizeof(Record))) {
            track.records_.reset(static_cast<Record*>(block));
            return {static_cast<Record*>(block), want};
        }
        if (want <= kSmallestStart)
            throw std::bad_alloc();
    }
}

SmfTrackWriter::Block SmfTrackWriter::growRecords(MidiTrack& track, std::size_t mostRecords, std::size_t capacity)
{
    const std::size_t want = std::min(mostRecords, std::max<std::size_t>(capacity * 2, 1));
    if (want <= capacity)
        throw std::bad_alloc();  // never: the bound holds every record the chunk can have
    void* block = std::realloc(track.records_.get(), want * sizeof(Record));
    if (block == nullptr)
        throw std::bad_alloc();
    (void)track.records_.release();
    track.records_.reset(static_cast<Record*>(block));
    return {static_cast<Record*>(block), want};
}

std::size_t SmfTrackWriter::prepareRecords(MidiTrack& track, Block& block, std::size_t mostRecords, std::size_t count)
{
    // Large enough that the calls cost little, small enough to provide little that goes unused.
    constexpr std::size_t kStretch = (64 * 1024) / sizeof(Record);
    if (count == block.capacity)
        block = growRecords(track, mostRecords, block.capacity);
    const std::size_t prepared = std::min(block.capacity, count + kStretch);
    prepareForWriting(block.base + count, (prepared - count) * sizeof(Record));
    return prepared;
}

void SmfTrackWriter::finishRecords(MidiTrack& track, std::size_t count, std::size_t capacity) noexcept
{
    if (count == 0)
        track.records_.reset();
    else if (count < capacity)
        if (void* shrunk = std::realloc(track.records_.get(), count * sizeof(Record))) {
            (void)track.records_.release();
            track.records_.reset(static_cast<Record*>(shrunk));
        }
    track.recordCount_ = count;
}

std::size_t SmfTrackWriter::addPooled(MidiTrack& track, bool prefixF0, std::uint8_t metaType, const std::uint8_t* data,
                                      std::uint32_t length)
{
    const std::size_t index = track.pooled_.size();
    track.pooled_.push_back({track.pool_.size(), length + (prefixF0 ? 1u : 0u), metaType});
    if (prefixF0)
        track.pool_.push_back(0xF0);
    track.pool_.insert(track.pool_.end(), data, data + length);
    return index;
}

void SmfTrackWriter::startEpoch(MidiTrack& track, std::uint64_t epoch, std::size_t recordIndex)
{
    // Deltas are below 2^28, so the high part grows by at most one per message.
    while (track.epochStarts_.size() < epoch)
        track.epochStarts_.push_back(static_cast<std::uint32_t>(recordIndex));
}

TrackOutcome SmfTrackWriter::read(const std::uint8_t* begin, const std::uint8_t* end, std::size_t fileOffset,
                                  MidiTrack& track, std::vector<TempoChange>& tempos)
{
    // The loop's state is all locals that nothing takes the address of, so the compiler can keep
    // them in registers: this loop runs once per message of a file.
    const std::size_t mostRecords = static_cast<std::size_t>(end - begin) / 2;
    Block block = mostRecords == 0 ? Block{nullptr, 0} : allocateRecords(track, mostRecords);
    std::size_t count = 0;
    std::size_t prepared = 0;  // records the system has provided pages for (or the block's end)
    std::uint64_t epoch = 0;   // tick >> 32 of the last record
    std::uint64_t lengthTicks = 0;

    const std::uint8_t* p = begin;
    const std::uint8_t* problem = nullptr;  // where reading stopped early
    std::uint64_t tick = 0;
    std::uint8_t runningStatus = 0;  // 0: none
    bool sysexOpen = false;          // an F0 packet (or its continuations) has not ended with F7
    std::size_t pooledCount = 0;

    while (p < end) {
        const std::uint8_t* const eventStart = p;
        std::uint32_t delta;
        if (*p < 0x80) {
            delta = *p++;
        } else if (const std::uint8_t* bad = readVlq(p, end, delta)) {
            problem = bad;
            break;
        }
        tick = tick > std::numeric_limits<std::uint64_t>::max() - delta ? std::numeric_limits<std::uint64_t>::max()
                                                                        : tick + delta;
        if (p == end) {
            problem = end;
            break;
        }

        std::uint8_t status = *p;
        if (status < 0x80) {
            if (runningStatus == 0) {
                problem = p;
                break;
            }
            status = runningStatus;
        } else {
            ++p;
        }

        std::uint8_t kindBits;
        std::uint8_t b0;
        std::uint8_t b1;
        std::uint8_t b2;
        bool endOfTrack = false;
        if (status < 0xF0) {
            const std::uint8_t type = status & 0xF0;
            const bool twoDataBytes = type != 0xC0 && type != 0xD0;
            if (end - p < (twoDataBytes ? 2 : 1) || ((p[0] | (twoDataBytes ? p[1] : 0)) & 0x80)) {
                // The first byte that is missing or not a data byte.
                problem = p == end || (p[0] & 0x80) ? p : p + 1 == end ? end : p + 1;
                break;
            }
            b1 = p[0];
            b2 = twoDataBytes ? p[1] : 0;
            p += twoDataBytes ? 2 : 1;
            runningStatus = status;
            sysexOpen = false;  // on the wire, any status byte ends an unfinished SysEx
            if (type == 0x90 && b2 == 0) {
                status = static_cast<std::uint8_t>(0x80 | (status & 0x0F));
                b2 = 0x40;
            }
            kindBits = static_cast<std::uint8_t>(MessageKind::Channel);
            b0 = status;
        } else {
            std::uint8_t metaType = 0;
            if (status == 0xFF) {
                if (p == end) {
                    problem = end;
                    break;
                }
                metaType = *p++;
            } else if (status != 0xF0 && status != 0xF7) {
                problem = p - 1;  // system common and real-time bytes may not appear as events
                break;
            }
            // SysEx packets cancel running status. Meta events are not MIDI messages and never
            // reach the wire, and files in circulation use running status across them (a tempo
            // change or marker between notes): honour it rather than drop the rest of the track.
            if (status != 0xFF)
                runningStatus = 0;
            std::uint32_t length;
            if (const std::uint8_t* bad = readVlq(p, end, length)) {
                problem = bad;
                break;
            }
            if (length > static_cast<std::size_t>(end - p)) {
                problem = end;
                break;
            }
            if (pooledCount == kMaxPooledPerTrack) {
                problem = eventStart;
                break;
            }
            ++pooledCount;

            MessageKind kind = MessageKind::Meta;
            if (status != 0xFF) {
                kind = status == 0xF0 ? MessageKind::SysEx
                       : sysexOpen    ? MessageKind::SysExContinuation
                                      : MessageKind::Escape;
                const bool terminated = length > 0 && p[length - 1] == 0xF7;
                sysexOpen = kind != MessageKind::Escape && !terminated;
            }
            const std::size_t index = addPooled(track, status == 0xF0, metaType, p, length);
            kindBits = static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) | (index >> 24) << 3);
            b0 = static_cast<std::uint8_t>(index);
            b1 = static_cast<std::uint8_t>(index >> 8);
            b2 = static_cast<std::uint8_t>(index >> 16);
            // SMF stores tempo as FF 51 03 and three bytes of microseconds per quarter note.
            if (kind == MessageKind::Meta && metaType == kMetaSetTempo && length == 3)
                tempos.push_back({tick, bigEndian(p, 3)});
            p += length;
            endOfTrack = kind == MessageKind::Meta && metaType == kMetaEndOfTrack;
        }

        if (count == prepared) [[unlikely]]
            prepared = prepareRecords(track, block, mostRecords, count);
        if ((tick >> 32) != epoch) [[unlikely]] {
            epoch = tick >> 32;
            startEpoch(track, epoch, count);
        }
        storeRecord(block.base + count, tick, kindBits, b0, b1, b2);
        ++count;
        lengthTicks = tick;
        if (endOfTrack)
            break;
    }

    finishRecords(track, count, block.capacity);
    track.lengthTicks_ = lengthTicks;
    TrackOutcome outcome{lengthTicks, std::nullopt};
    if (problem != nullptr)
        outcome.problemOffset = fileOffset + static_cast<std::size_t>(problem - begin);
    return outcome;
}

class SmfSequenceBuilder {
public:
    static SmfReadResult read(std::span<const std::uint8_t> bytes);
};

SmfReadResult SmfSequenceBuilder::read(std::span<const std::uint8_t> bytes)
{
    SmfReadResult result;
    const std::uint8_t* const data = bytes.data();
    const std::size_t size = bytes.size();
    auto damage = [&](std::size_t offset) {
        if (result.status == SmfStatus::Complete) {
            result.status = SmfStatus::Damaged;
            result.problemOffset = offset;
        }
    };

    if (size < 4 || std::memcmp(data, "MThd", 4) != 0) {
        result.status = SmfStatus::NotMidi;
        return result;
    }
    if (size < 8) {
        damage(size);
        return result;
    }

    // The header's fields as far as the data and its declared length give them.
    const std::uint64_t headerLength = bigEndian(data + 4, 4);
    const std::uint64_t headerEnd = 8 + headerLength;
    const std::size_t fieldBytes = static_cast<std::size_t>(std::min<std::uint64_t>(headerLength, size - 8));
    if (headerLength < 6)
        damage(4);
    std::uint16_t format = 1;
    std::optional<std::uint16_t> declaredTracks;
    TimeDivision division;
    if (fieldBytes >= 2) {
        format = static_cast<std::uint16_t>(bigEndian(data + 8, 2));
        if (format > 2)
            damage(8);
    }
    if (fieldBytes >= 4)
        declaredTracks = static_cast<std::uint16_t>(bigEndian(data + 10, 2));
    if (fieldBytes >= 6) {
        const std::uint16_t raw = static_cast<std::uint16_t>(bigEndian(data + 12, 2));
        if (raw & 0x8000) {
            // SMPTE: the high byte is minus the frame rate, the low byte ticks per frame.
            const int framesPerSecond = -static_cast<int>(static_cast<std::int8_t>(raw >> 8));
            const int ticksPerFrame = raw & 0xFF;
            if ((framesPerSecond == 24 || framesPerSecond == 25 || framesPerSecond == 29 || framesPerSecond == 30) &&
                ticksPerFrame != 0) {
                division.smpte = true;
                division.framesPerSecond = static_cast<std::uint8_t>(framesPerSecond);
                division.ticksPerFrame = static_cast<std::uint8_t>(ticksPerFrame);
            } else {
                damage(12);
            }
        } else if (raw == 0) {
            damage(12);
        } else {
            division.ticksPerQuarter = raw;
        }
    }
    result.sequence.format_ = format;

    std::vector<TempoChange> tempos;
    std::uint64_t pos = headerEnd;
    if (pos > size)
        damage(size);
    else {
        // Every chunk takes at least 8 bytes: no more tracks than that can be there.
        const std::size_t possible = (size - static_cast<std::size_t>(pos)) / 8;
        result.sequence.tracks_.reserve(declaredTracks ? std::min<std::size_t>(*declaredTracks, possible) : 0);
    }
    std::size_t tracksRead = 0;
    while (pos <= size && (!declaredTracks || tracksRead < *declaredTracks)) {
        if (pos == size) {
            if (declaredTracks)
                damage(size);  // fewer tracks than the header counts
            break;
        }
        if (size - pos < 8) {
            damage(size);  // a chunk header cut short
            break;
        }
        const std::uint8_t* const chunk = data + pos;
        const std::uint64_t chunkStart = pos + 8;
        const std::uint64_t chunkEnd = chunkStart + bigEndian(chunk + 4, 4);
        const bool truncated = chunkEnd > size;
        if (std::memcmp(chunk, "MTrk", 4) == 0) {
            const std::uint8_t* const begin = data + chunkStart;
            const std::uint8_t* const end = data + std::min<std::uint64_t>(chunkEnd, size);
            try {
                MidiTrack track;
                const TrackOutcome outcome =
                    SmfTrackWriter::read(begin, end, static_cast<std::size_t>(chunkStart), track, tempos);
                result.sequence.tracks_.push_back(std::move(track));
                if (outcome.problemOffset)
                    damage(*outcome.problemOffset);
            } catch (const std::bad_alloc&) {
                damage(static_cast<std::size_t>(pos));
                break;
            }
            ++tracksRead;
        }
        if (truncated) {
            damage(size);
            break;
        }
        pos = chunkEnd;
    }

    try {
        result.sequence.tempoMap_ = TempoMap(division, std::move(tempos));
    } catch (const std::bad_alloc&) {
        result.sequence.tempoMap_ = TempoMap(division, {});
        damage(size);
    }
    return result;
}

SmfReadResult readStandardMidiFile(std::span<const std::uint8_t> bytes) noexcept
{
    try {
        return SmfSequenceBuilder::read(bytes);
    } catch (...) {
        SmfReadResult failed;
        failed.status = SmfStatus::Unreadable;
        return failed;
    }
}

SmfReadResult loadStandardMidiFile(const std::filesystem::path& path) noexcept
{
    SmfReadResult unreadable;
    unreadable.status = SmfStatus::Unreadable;

    // Check the type before opening: opening a device can have effects, and a FIFO would block.
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return unreadable;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return unreadable;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    // The path may have been replaced between the two calls.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) > kMaxStandardMidiFileBytes)
        return unreadable;

    const std::size_t size = static_cast<std::size_t>(info.st_size);
    // Not a vector: zero-filling a buffer about to be overwritten costs as much as the read.
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
    if (!buffer)
        return unreadable;
    prepareForWriting(buffer.get(), size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer.get() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return unreadable;
        if (n == 0)
            break;  // the file shrank: read what is there
        got += static_cast<std::size_t>(n);
    }
    return readStandardMidiFile(std::span<const std::uint8_t>(buffer.get(), got));
}

}  // namespace brennick
