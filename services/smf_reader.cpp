#include "services/smf_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "services/smf/track_decoder.h"

namespace brennick {

namespace {

std::uint32_t bigEndian(const std::uint8_t* p, int byteCount)
{
    std::uint32_t v = 0;
    for (int i = 0; i < byteCount; ++i)
        v = v << 8 | p[i];
    return v;
}

// The longest packet a variable-length quantity of four bytes can announce.
constexpr std::size_t kMaxPacketBytes = 0x0FFFFFFF;

FileBytes copyOf(std::span<const std::uint8_t> bytes)
{
    FileBytes copy;
    copy.data.reset(new std::uint8_t[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty())
        std::memcpy(copy.data.get(), bytes.data(), bytes.size());
    copy.size = bytes.size();
    return copy;
}

void appendVlq(std::uint8_t*& out, std::uint32_t value)
{
    std::uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1)
        *out++ = static_cast<std::uint8_t>(groups[--count] | 0x80);
    *out++ = groups[0];
}

}  // namespace

class SmfSequenceBuilder {
public:
    static SmfReadResult readMidi(FileBytes bytes);
    static SmfReadResult readSysEx(FileBytes bytes);

private:
    struct Damage {
        SmfReadResult& result;
        void operator()(std::size_t offset) const
        {
            if (result.status == SmfStatus::Complete) {
                result.status = SmfStatus::Damaged;
                result.problemOffset = offset;
            }
        }
    };
    // Decodes one track chunk: what it holds, where its reading ends and its tempo changes.
    // The problem's offset in the data, if there is one.
    static std::optional<std::size_t> measureTrack(const std::uint8_t* data, const std::uint8_t* begin,
                                                   const std::uint8_t* end, MidiTrack& track,
                                                   std::vector<TempoChange>& tempos, SmfReadResult& result);
    static void finish(Sequence& sequence, TimeDivision division, std::vector<TempoChange> tempos);
};

std::optional<std::size_t> SmfSequenceBuilder::measureTrack(const std::uint8_t* data, const std::uint8_t* begin,
                                                            const std::uint8_t* end, MidiTrack& track,
                                                            std::vector<TempoChange>& tempos, SmfReadResult& result)
{
    Sequence& sequence = result.sequence;
    smf::TrackDecoder decoder(begin, end);
    MidiMessage m;
    smf::TrackDecoder::Step step;
    std::size_t channel = 0;
    std::size_t system = 0;
    std::size_t meta = 0;
    std::uint64_t systemBytes = 0;
    std::uint64_t lastTick = 0;
    std::size_t strayCount = 0;
    const std::uint8_t* firstStray = nullptr;
    for (;;) {
        step = decoder.next(m);
        if (step != smf::TrackDecoder::Step::Message) [[unlikely]] {
            if (step != smf::TrackDecoder::Step::Skipped)
                break;
            if (strayCount++ == 0)
                firstStray = decoder.skipped();
            continue;
        }
        lastTick = m.tick;
        if (m.kind == MessageKind::Channel) {
            ++channel;
        } else if (m.kind == MessageKind::Meta) {
            ++meta;
            // SMF stores tempo as FF 51 03 and three bytes of microseconds per quarter note.
            if (m.metaType == kMetaSetTempo && m.bytes.size() == 3)
                tempos.push_back({m.tick, bigEndian(m.bytes.data(), 3)});
        } else {
            ++system;
            systemBytes += m.bytes.size() + (m.kind == MessageKind::SysEx ? 1 : 0);
            sequence.lastSystemTick_ = std::max(sequence.lastSystemTick_, m.tick);
        }
    }
    const std::uint8_t* readEnd = step == smf::TrackDecoder::Step::Problem ? decoder.eventStart() : decoder.position();
    track.events_ = std::span<const std::uint8_t>(begin, static_cast<std::size_t>(readEnd - begin));
    track.messageCount_ = channel + system + meta;
    track.channelCount_ = channel;
    track.systemCount_ = system;
    track.lengthTicks_ = lastTick;
    sequence.systemBytes_ += systemBytes;
    sequence.systemCount_ += system;
    if (strayCount != 0 && result.strayStatusCount == 0)
        result.firstStrayStatusOffset = static_cast<std::size_t>(firstStray - data);
    result.strayStatusCount += strayCount;
    if (step == smf::TrackDecoder::Step::Problem)
        return static_cast<std::size_t>(decoder.problem() - data);
    return std::nullopt;
}

void SmfSequenceBuilder::finish(Sequence& sequence, TimeDivision division, std::vector<TempoChange> tempos)
{
    sequence.tempoMap_ = TempoMap(division, std::move(tempos));
    std::uint64_t lastTick = 0;
    for (const MidiTrack& t : sequence.tracks_)
        lastTick = std::max(lastTick, t.lengthTicks());
    sequence.lastMessageSeconds_ = sequence.tempoMap_.ticksToSeconds(lastTick);
    sequence.lastSystemMessageSeconds_ = sequence.tempoMap_.ticksToSeconds(sequence.lastSystemTick_);
}

SmfReadResult SmfSequenceBuilder::readMidi(FileBytes bytes)
{
    SmfReadResult result;
    const std::uint8_t* const data = bytes.data.get();
    const std::size_t size = bytes.size;
    result.sequence.bytes_ = std::move(bytes.data);
    const Damage damage{result};

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
    Sequence& sequence = result.sequence;
    sequence.format_ = format;

    std::vector<TempoChange> tempos;
    std::uint64_t pos = headerEnd;
    if (pos > size) {
        damage(size);
    } else {
        // Every chunk takes at least 8 bytes: no more tracks than that can be there.
        const std::size_t possible = (size - static_cast<std::size_t>(pos)) / 8;
        sequence.tracks_.reserve(declaredTracks ? std::min<std::size_t>(*declaredTracks, possible) : 0);
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
            MidiTrack& track = sequence.tracks_.emplace_back();
            if (const auto problem = measureTrack(
                    data, data + chunkStart, data + std::min<std::uint64_t>(chunkEnd, size), track, tempos, result))
                damage(*problem);
            ++tracksRead;
        }
        if (truncated) {
            damage(size);
            break;
        }
        pos = chunkEnd;
    }
    finish(sequence, division, std::move(tempos));
    return result;
}

SmfReadResult SmfSequenceBuilder::readSysEx(FileBytes bytes)
{
    SmfReadResult result;
    const std::uint8_t* const data = bytes.data.get();
    const std::size_t size = bytes.size;
    const Damage damage{result};
    Sequence& sequence = result.sequence;
    sequence.sysExDump_ = true;
    if (size == 0) {
        result.status = SmfStatus::Empty;
        return result;
    }
    if (data[0] != 0xF0) {
        result.status = SmfStatus::NotMidi;
        return result;
    }

    // The messages become one track of F0 packets at tick 0, so playback treats a dump like any
    // other song. A message of n bytes takes at most n + 5 there (delta, F0, a length of up to four
    // bytes, the bytes after F0), and every message has at least two bytes.
    const std::size_t capacity = size + 5 * (size / 2) + 8;
    std::unique_ptr<std::uint8_t[]> track(new std::uint8_t[capacity]);
    std::uint8_t* out = track.get();
    std::size_t pos = 0;
    std::size_t messages = 0;
    std::uint64_t messageBytes = 0;
    while (pos < size) {
        if (data[pos] != 0xF0) {
            damage(pos);  // something between messages
            break;
        }
        std::size_t end = pos + 1;
        while (end < size && data[end] < 0x80)
            ++end;
        if (end == size || data[end] != 0xF7) {
            damage(end);  // the file ends, or a status byte comes, before the message's F7
            break;
        }
        if (end - pos > kMaxPacketBytes) {
            damage(pos);  // longer than a track's length field can say
            break;
        }
        const std::uint32_t length = static_cast<std::uint32_t>(end - pos);  // after F0, with F7
        *out++ = 0x00;
        *out++ = 0xF0;
        appendVlq(out, length);
        std::memcpy(out, data + pos + 1, length);
        out += length;
        ++messages;
        messageBytes += length + 1;
        pos = end + 1;
    }
    const std::uint8_t endOfTrack[] = {0x00, 0xFF, kMetaEndOfTrack, 0x00};
    std::memcpy(out, endOfTrack, sizeof endOfTrack);
    out += sizeof endOfTrack;

    MidiTrack& t = sequence.tracks_.emplace_back();
    t.events_ = std::span<const std::uint8_t>(track.get(), static_cast<std::size_t>(out - track.get()));
    t.messageCount_ = messages + 1;
    t.systemCount_ = messages;
    sequence.systemCount_ = messages;
    sequence.systemBytes_ = messageBytes;
    sequence.bytes_ = std::move(track);
    bytes = {};  // the file's own bytes are no longer needed
    finish(sequence, TimeDivision{}, {});
    return result;
}

namespace {

// Runs a reading that may run out of memory; that is an unreadable file, not a crash.
template <class Read> SmfReadResult unlessMemoryRunsOut(Read read) noexcept
{
    try {
        return read();
    } catch (const std::bad_alloc&) {
        SmfReadResult failed;
        failed.status = SmfStatus::Unreadable;
        failed.readError = FileReadError::OutOfMemory;
        return failed;
    }
}

}  // namespace

SmfReadResult readStandardMidiFile(FileBytes bytes) noexcept
{
    return unlessMemoryRunsOut([&] { return SmfSequenceBuilder::readMidi(std::move(bytes)); });
}

SmfReadResult readStandardMidiFile(std::span<const std::uint8_t> bytes) noexcept
{
    return unlessMemoryRunsOut([&] { return SmfSequenceBuilder::readMidi(copyOf(bytes)); });
}

SmfReadResult readSysExFile(FileBytes bytes) noexcept
{
    return unlessMemoryRunsOut([&] { return SmfSequenceBuilder::readSysEx(std::move(bytes)); });
}

SmfReadResult readSequenceFile(FileBytes bytes) noexcept
{
    if (bytes.size == 0 || bytes.data[0] == 0xF0)
        return readSysExFile(std::move(bytes));
    return readStandardMidiFile(std::move(bytes));
}

SmfReadResult loadSequenceFile(const std::string& path) noexcept
{
    FileReadResult file = readWholeFile(path);
    if (file.error != FileReadError::None) {
        SmfReadResult failed;
        failed.status = SmfStatus::Unreadable;
        failed.readError = file.error;
        return failed;
    }
    return readSequenceFile(std::move(file.bytes));
}

std::string describeReadResult(const SmfReadResult& result)
{
    switch (result.status) {
    case SmfStatus::Complete: return "read";
    case SmfStatus::Damaged: return "damaged at byte " + std::to_string(result.problemOffset);
    case SmfStatus::NotMidi: return "not a MIDI file";
    case SmfStatus::Unreadable: return describe(result.readError);
    case SmfStatus::Empty: return "empty file";
    }
    return "cannot be read";
}

std::string describeReadNote(const SmfReadResult& result)
{
    if (result.strayStatusCount == 0)
        return {};
    return std::to_string(result.strayStatusCount) + " stray system status byte" +
           (result.strayStatusCount == 1 ? "" : "s") + " (the first at byte " +
           std::to_string(result.firstStrayStatusOffset) + ") passed over";
}

}  // namespace brennick
