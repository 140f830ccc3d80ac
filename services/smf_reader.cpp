#include "services/smf_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

struct TrackOutcome {
    std::uint64_t lengthTicks = 0;
    std::optional<std::size_t> problemOffset;
};

// Reads the events of one track chunk's data into `sink`. Called twice per track with the same
// data: first to count (so storage is allocated once, exactly), then to store.
template <class Sink>
TrackOutcome readTrackEvents(const std::uint8_t* begin, const std::uint8_t* end, std::size_t fileOffset,
                             Sink& sink)
{
    TrackOutcome out;
    const std::uint8_t* p = begin;
    std::uint64_t tick = 0;
    std::uint8_t runningStatus = 0;  // 0: none
    bool sysexOpen = false;          // an F0 packet (or its continuations) has not ended with F7
    std::size_t pooledCount = 0;
    auto stop = [&](const std::uint8_t* at) {
        out.problemOffset = fileOffset + static_cast<std::size_t>(at - begin);
        return out;
    };

    while (p < end) {
        const std::uint8_t* const eventStart = p;
        std::uint32_t delta;
        if (p < end && *p < 0x80)
            delta = *p++;
        else if (const std::uint8_t* bad = readVlq(p, end, delta))
            return stop(bad);
        tick = tick > std::numeric_limits<std::uint64_t>::max() - delta ? std::numeric_limits<std::uint64_t>::max()
                                                                        : tick + delta;
        if (p == end)
            return stop(end);

        std::uint8_t status = *p;
        if (status < 0x80) {
            if (runningStatus == 0)
                return stop(p);
            status = runningStatus;
        } else {
            ++p;
        }

        if (status < 0xF0) {
            const std::uint8_t type = status & 0xF0;
            if (p == end)
                return stop(end);
            const std::uint8_t data1 = *p;
            if (data1 & 0x80)
                return stop(p);
            ++p;
            std::uint8_t data2 = 0;
            if (type != 0xC0 && type != 0xD0) {
                if (p == end)
                    return stop(end);
                data2 = *p;
                if (data2 & 0x80)
                    return stop(p);
                ++p;
            }
            runningStatus = status;
            sysexOpen = false;  // on the wire, any status byte ends an unfinished SysEx
            if (type == 0x90 && data2 == 0) {
                status = static_cast<std::uint8_t>(0x80 | (status & 0x0F));
                data2 = 0x40;
            }
            sink.channel(tick, status, data1, data2);
            out.lengthTicks = tick;
            continue;
        }

        std::uint8_t metaType = 0;
        if (status == 0xFF) {
            if (p == end)
                return stop(end);
            metaType = *p++;
        } else if (status != 0xF0 && status != 0xF7) {
            return stop(p - 1);  // system common and real-time bytes may not appear as events
        }
        // SysEx packets cancel running status. Meta events are not MIDI messages and never reach
        // the wire, and files in circulation use running status across them (a tempo change or
        // marker between notes): honour it rather than drop the rest of the track.
        if (status != 0xFF)
            runningStatus = 0;
        std::uint32_t length;
        if (const std::uint8_t* bad = readVlq(p, end, length))
            return stop(bad);
        if (length > static_cast<std::size_t>(end - p))
            return stop(end);
        if (pooledCount == kMaxPooledPerTrack)
            return stop(eventStart);
        ++pooledCount;

        MessageKind kind = MessageKind::Meta;
        if (status != 0xFF) {
            kind = status == 0xF0 ? MessageKind::SysEx
                   : sysexOpen    ? MessageKind::SysExContinuation
                                  : MessageKind::Escape;
            const bool terminated = length > 0 && p[length - 1] == 0xF7;
            sysexOpen = kind != MessageKind::Escape && !terminated;
        }
        sink.pooled(tick, kind, metaType, status == 0xF0, p, length);
        // SMF stores tempo as FF 51 03 and three bytes of microseconds per quarter note.
        if (kind == MessageKind::Meta && metaType == kMetaSetTempo && length == 3)
            sink.tempo(tick, bigEndian(p, 3));
        p += length;
        out.lengthTicks = tick;
        if (kind == MessageKind::Meta && metaType == kMetaEndOfTrack)
            return out;
    }
    return out;
}

struct CountingSink {
    std::size_t records = 0;
    std::size_t pooledMessages = 0;
    std::size_t poolBytes = 0;
    std::size_t tempos = 0;

    void channel(std::uint64_t, std::uint8_t, std::uint8_t, std::uint8_t) { ++records; }
    void pooled(std::uint64_t, MessageKind, std::uint8_t, bool prefixF0, const std::uint8_t*, std::uint32_t length)
    {
        ++records;
        ++pooledMessages;
        poolBytes += length + (prefixF0 ? 1 : 0);
    }
    void tempo(std::uint64_t, std::uint32_t) { ++tempos; }
};

}  // namespace

class SmfTrackWriter {
public:
    SmfTrackWriter(MidiTrack& track, std::vector<TempoChange>& tempos, const CountingSink& counts)
        : track_(track), tempos_(tempos)
    {
        track_.records_.resize(counts.records);
        next_ = track_.records_.data();
        end_ = next_ + counts.records;
        track_.pooled_.reserve(counts.pooledMessages);
        track_.pool_.reserve(counts.poolBytes);
        tempos_.reserve(tempos_.size() + counts.tempos);
    }

    void channel(std::uint64_t tick, std::uint8_t status, std::uint8_t data1, std::uint8_t data2)
    {
        add(tick, static_cast<std::uint8_t>(MessageKind::Channel), status, data1, data2);
    }

    void pooled(std::uint64_t tick, MessageKind kind, std::uint8_t metaType, bool prefixF0,
                const std::uint8_t* data, std::uint32_t length)
    {
        const std::size_t index = track_.pooled_.size();
        track_.pooled_.push_back({track_.pool_.size(), length + (prefixF0 ? 1u : 0u), metaType});
        if (prefixF0)
            track_.pool_.push_back(0xF0);
        track_.pool_.insert(track_.pool_.end(), data, data + length);
        add(tick, static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) | (index >> 24) << 3),
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(index >> 16));
    }

    void tempo(std::uint64_t tick, std::uint32_t microsecondsPerQuarter)
    {
        tempos_.push_back({tick, microsecondsPerQuarter});
    }

    void finish(std::uint64_t lengthTicks)
    {
        track_.records_.resize(static_cast<std::size_t>(next_ - track_.records_.data()));
        track_.lengthTicks_ = lengthTicks;
    }

private:
    void add(std::uint64_t tick, std::uint8_t kindBits, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2)
    {
        if (next_ == end_) [[unlikely]]
            return;  // the counting pass saw the same data: never happens
        if ((tick >> 32) != epoch_) [[unlikely]]
            startEpoch(tick >> 32);
        *next_++ = {static_cast<std::uint32_t>(tick), kindBits, {b0, b1, b2}};
    }

    [[gnu::noinline]] void startEpoch(std::uint64_t epoch)
    {
        // Deltas are below 2^28, so the high part grows by at most one per message.
        while (track_.epochStarts_.size() < epoch)
            track_.epochStarts_.push_back(static_cast<std::uint32_t>(next_ - track_.records_.data()));
        epoch_ = epoch;
    }

    MidiTrack& track_;
    MidiTrack::Record* next_;
    MidiTrack::Record* end_;
    std::vector<TempoChange>& tempos_;
    std::uint64_t epoch_ = 0;  // tick >> 32 of the last message
};

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
                CountingSink counts;
                readTrackEvents(begin, end, static_cast<std::size_t>(chunkStart), counts);
                MidiTrack track;
                SmfTrackWriter writer(track, tempos, counts);
                const TrackOutcome outcome = readTrackEvents(begin, end, static_cast<std::size_t>(chunkStart), writer);
                writer.finish(outcome.lengthTicks);
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
