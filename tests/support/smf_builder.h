#pragma once
// Builds Standard MIDI File bytes in memory for tests, including deliberately malformed ones.
//
//   SmfBuilder b(1, 96);                       // format 1, 96 ticks per quarter note
//   auto& t = b.track();                       // an MTrk chunk; references stay valid
//   t.delta(0).tempo(500000);
//   t.delta(0).noteOn(0, 60, 100).delta(96).running({60, 0});
//   t.delta(0).sysex({0x43, 0x10, 0xF7});      // F0 packet: F0 <len> 43 10 F7
//   t.delta(0).endOfTrack();
//   std::vector<std::uint8_t> bytes = b.bytes();
//
// Every event call writes only the event; call delta() before each one. Chunk, header and track
// count lengths are computed unless overridden, so tests can declare lengths the data lacks.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brennick::test {

// Appends `value` as a variable-length quantity (7 bits per byte, high bit = more follows).
// Values above 0x0FFFFFFF take five bytes, which a reader must reject.
inline void appendVlq(std::vector<std::uint8_t>& out, std::uint64_t value)
{
    std::uint8_t groups[10];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1)
        out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

inline void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int byteCount)
{
    for (int i = byteCount - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// One chunk: an MTrk track (the usual case) or any other four-character chunk.
class SmfChunkBuilder {
public:
    explicit SmfChunkBuilder(std::string id = "MTrk") : id_(std::move(id)) {}

    // Delta time before the next event, in ticks.
    SmfChunkBuilder& delta(std::uint64_t ticks)
    {
        appendVlq(data_, ticks);
        return *this;
    }

    // Channel messages; `channel` 0-15. Each writes its status byte.
    SmfChunkBuilder& noteOn(int channel, int key, int velocity)
    {
        return channelMessage(0x90, channel, {key, velocity});
    }
    SmfChunkBuilder& noteOff(int channel, int key, int velocity = 0x40)
    {
        return channelMessage(0x80, channel, {key, velocity});
    }
    SmfChunkBuilder& controller(int channel, int number, int value)
    {
        return channelMessage(0xB0, channel, {number, value});
    }
    SmfChunkBuilder& programChange(int channel, int program) { return channelMessage(0xC0, channel, {program}); }
    SmfChunkBuilder& channelPressure(int channel, int pressure) { return channelMessage(0xD0, channel, {pressure}); }
    SmfChunkBuilder& pitchBend(int channel, int value14)
    {
        return channelMessage(0xE0, channel, {value14 & 0x7F, (value14 >> 7) & 0x7F});
    }
    // Any channel status (0x80-0xEF, channel included) followed by its data bytes.
    SmfChunkBuilder& message(int status, std::initializer_list<int> dataBytes)
    {
        data_.push_back(static_cast<std::uint8_t>(status));
        for (int d : dataBytes)
            data_.push_back(static_cast<std::uint8_t>(d));
        return *this;
    }
    // Data bytes only: the previous status applies (running status).
    SmfChunkBuilder& running(std::initializer_list<int> dataBytes)
    {
        for (int d : dataBytes)
            data_.push_back(static_cast<std::uint8_t>(d));
        return *this;
    }

    // FF type <len> data.
    SmfChunkBuilder& meta(int type, const std::vector<std::uint8_t>& data)
    {
        data_.push_back(0xFF);
        data_.push_back(static_cast<std::uint8_t>(type));
        appendVlq(data_, data.size());
        data_.insert(data_.end(), data.begin(), data.end());
        return *this;
    }
    // FF 51 03 tttttt: microseconds per quarter note.
    SmfChunkBuilder& tempo(std::uint32_t microsecondsPerQuarter)
    {
        std::vector<std::uint8_t> d;
        appendBigEndian(d, microsecondsPerQuarter, 3);
        return meta(0x51, d);
    }
    SmfChunkBuilder& endOfTrack() { return meta(0x2F, {}); }
    SmfChunkBuilder& trackName(const std::string& name) { return meta(0x03, {name.begin(), name.end()}); }

    // F0 <len> data: `data` is what follows F0, normally ending with F7 when the message is complete.
    SmfChunkBuilder& sysex(const std::vector<std::uint8_t>& data) { return packet(0xF0, data); }
    // F7 <len> data: a continuation of an unterminated F0 packet, or an escape.
    SmfChunkBuilder& sysexF7(const std::vector<std::uint8_t>& data) { return packet(0xF7, data); }

    // Arbitrary bytes, e.g. a broken event or a bare VLQ.
    SmfChunkBuilder& raw(std::initializer_list<std::uint8_t> bytes)
    {
        data_.insert(data_.end(), bytes);
        return *this;
    }
    SmfChunkBuilder& raw(const std::vector<std::uint8_t>& bytes)
    {
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    SmfChunkBuilder& vlq(std::uint64_t value)
    {
        appendVlq(data_, value);
        return *this;
    }

    // Declares a chunk length other than the real one (e.g. 0xFFFFFFFF or longer than the file).
    SmfChunkBuilder& declaredLength(std::uint32_t length)
    {
        declaredLength_ = length;
        return *this;
    }

    const std::string& id() const { return id_; }
    const std::vector<std::uint8_t>& data() const { return data_; }

    void appendTo(std::vector<std::uint8_t>& out) const
    {
        for (std::size_t i = 0; i < 4; ++i)
            out.push_back(i < id_.size() ? static_cast<std::uint8_t>(id_[i]) : std::uint8_t{' '});
        appendBigEndian(out, declaredLength_ ? *declaredLength_ : data_.size(), 4);
        out.insert(out.end(), data_.begin(), data_.end());
    }

private:
    SmfChunkBuilder& channelMessage(int statusHigh, int channel, std::initializer_list<int> dataBytes)
    {
        return message(statusHigh | (channel & 0x0F), dataBytes);
    }
    SmfChunkBuilder& packet(std::uint8_t status, const std::vector<std::uint8_t>& data)
    {
        data_.push_back(status);
        appendVlq(data_, data.size());
        data_.insert(data_.end(), data.begin(), data.end());
        return *this;
    }

    std::string id_;
    std::vector<std::uint8_t> data_;
    std::optional<std::uint32_t> declaredLength_;
};

using SmfTrackBuilder = SmfChunkBuilder;

// A whole file: the MThd header followed by chunks in the order they were added.
class SmfBuilder {
public:
    // Metrical division: `ticksPerQuarter` 1-0x7FFF.
    SmfBuilder(std::uint16_t format, std::uint16_t ticksPerQuarter) : format_(format), division_(ticksPerQuarter) {}

    // SMPTE division: `framesPerSecond` 24, 25, 29 (drop frame) or 30.
    static SmfBuilder smpte(std::uint16_t format, int framesPerSecond, int ticksPerFrame)
    {
        SmfBuilder b(format, 0);
        b.division_ = static_cast<std::uint16_t>(((-framesPerSecond) & 0xFF) << 8 | (ticksPerFrame & 0xFF));
        return b;
    }

    // Appends an MTrk chunk.
    SmfChunkBuilder& track() { return chunk("MTrk"); }
    // Appends a chunk with any four-character id (an unknown chunk, or a misspelt MTrk).
    SmfChunkBuilder& chunk(const std::string& id)
    {
        chunks_.push_back(std::make_unique<SmfChunkBuilder>(id));
        return *chunks_.back();
    }

    // Header overrides for malformed files.
    SmfBuilder& division(std::uint16_t raw)
    {
        division_ = raw;
        return *this;
    }
    SmfBuilder& declaredTrackCount(std::uint16_t count)
    {
        trackCount_ = count;
        return *this;
    }
    // Declares header length `length`; the header then carries that many bytes: the usual six
    // zero-padded, or cut short when `length` < 6. Above 0xFFFF only the six are written.
    SmfBuilder& headerLength(std::uint32_t length)
    {
        headerLength_ = length;
        return *this;
    }

    std::size_t trackCount() const
    {
        std::size_t n = 0;
        for (const auto& c : chunks_)
            n += c->id() == "MTrk";
        return n;
    }

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> out{'M', 'T', 'h', 'd'};
        std::vector<std::uint8_t> header;
        appendBigEndian(header, format_, 2);
        appendBigEndian(header, trackCount_ ? *trackCount_ : trackCount(), 2);
        appendBigEndian(header, division_, 2);
        const std::uint32_t length = headerLength_ ? *headerLength_ : 6;
        if (length <= 0xFFFF)
            header.resize(length, 0);
        appendBigEndian(out, length, 4);
        out.insert(out.end(), header.begin(), header.end());
        for (const auto& c : chunks_)
            c->appendTo(out);
        return out;
    }

private:
    std::uint16_t format_;
    std::uint16_t division_;
    std::optional<std::uint16_t> trackCount_;
    std::optional<std::uint32_t> headerLength_;
    std::vector<std::unique_ptr<SmfChunkBuilder>> chunks_;
};

// A raw SysEx file (.syx) as a librarian saves it: `messages` dump messages of 60 bytes each,
// F0 3E <model> <index>, 55 data bytes of `fill` + index, F7.
inline std::vector<std::uint8_t> sysexDumpFile(std::uint8_t model, std::uint8_t messages, std::uint8_t fill)
{
    std::vector<std::uint8_t> file;
    for (std::uint8_t m = 0; m < messages; ++m) {
        file.insert(file.end(), {0xF0, 0x3E, model, m});
        file.insert(file.end(), 55, std::uint8_t(fill + m));
        file.push_back(0xF7);
    }
    return file;
}

// A Carrow dump as a synth sends it: `messages` messages of 1 to 4 kB, each unlike the others,
// with no 3E in their data (the player finds the model by the last one).
inline std::vector<std::uint8_t> largeSysExDump(std::size_t messages)
{
    std::vector<std::uint8_t> dump;
    for (std::size_t m = 0; m < messages; ++m) {
        const std::size_t size = 1000 + (m * 7919) % 3001;
        dump.insert(dump.end(), {0xF0, 0x3E, 0x13});
        for (std::size_t i = 3; i + 1 < size; ++i)
            dump.push_back(std::uint8_t((m + i) % 0x3E));
        dump.push_back(0xF7);
    }
    return dump;
}

// `dump` (of five messages or more) as a synth sends it when it is interrupted twice: three
// messages, half of the fourth, then from the fourth's start to the end, then half of the first,
// and nothing more. Two messages are cut short; the whole ones are `dump`.
inline std::vector<std::uint8_t> interruptedSysExDump(const std::vector<std::uint8_t>& dump)
{
    std::size_t fourth = 0;
    for (int m = 0; m < 3; ++m)
        fourth = std::size_t(std::find(dump.begin() + std::ptrdiff_t(fourth), dump.end(), 0xF7) - dump.begin()) + 1;
    std::vector<std::uint8_t> sent(dump.begin(), dump.begin() + std::ptrdiff_t(fourth + 500));
    sent.insert(sent.end(), dump.begin() + std::ptrdiff_t(fourth), dump.end());
    sent.insert(sent.end(), dump.begin(), dump.begin() + 700);
    return sent;
}

// The Universal Device Inquiry to all devices, and the Identity Reply a Brennick synth of
// `familyCode` answers it with (device 7F, member 0, version 1.0.0.0).
inline constexpr std::array<std::uint8_t, 6> kDeviceInquiryBytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
inline constexpr std::array<std::uint8_t, 15> identityReply(std::uint16_t familyCode)
{
    const auto lsb = std::uint8_t(familyCode & 0x7F), msb = std::uint8_t((familyCode >> 7) & 0x7F);
    return {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, lsb, msb, 0, 0, 1, 0, 0, 0, 0xF7};
}

// A song of one 64 KB SysEx between a note-on and its note-off, all at tick 0, and the bytes a
// MIDI cable carries when it plays: file order at one tick.
struct DumpBetweenNotes {
    std::vector<std::uint8_t> song;
    std::vector<std::uint8_t> wire;
};

inline DumpBetweenNotes dumpBetweenNotes()
{
    std::vector<std::uint8_t> dump(65536);
    for (std::size_t i = 0; i < dump.size(); ++i)
        dump[i] = std::uint8_t(i * 7 % 128);
    dump.back() = 0xF7;
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(1, 33, 99).delta(0).sysex(dump).delta(0).noteOff(1, 33).delta(0).endOfTrack();
    DumpBetweenNotes out{b.bytes(), {0x91, 33, 99, 0xF0}};
    out.wire.insert(out.wire.end(), dump.begin(), dump.end());
    out.wire.insert(out.wire.end(), {0x81, 33, 0x40});
    return out;
}

}  // namespace brennick::test
