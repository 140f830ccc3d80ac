#include "services/chase.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <tuple>

#include "services/smf/track_decoder.h"

namespace brennick {

namespace {

constexpr std::uint8_t kBankMsb = 0, kDataMsb = 6, kBankLsb = 32, kDataLsb = 38, kNrpnLsb = 98, kNrpnMsb = 99,
                       kRpnLsb = 100, kRpnMsb = 101, kResetAllControllers = 121, kFirstModeMessage = 120;

// What survives a "reset all controllers": what the synth's sound is chosen and mixed by.
constexpr bool keptByReset(std::uint8_t controller)
{
    return controller == kBankMsb || controller == kBankLsb || controller == 7 || controller == 10;
}

// Where a message stands in the merged order of the file: tick, then track, then place in the track.
using Place = std::tuple<std::uint64_t, std::size_t, std::size_t>;

// A value and where in the song it was set: the latest in merged order wins, whichever track set it.
template <class T> struct Latest {
    std::optional<T> value;
    Place place{};

    void offer(const T& v, const Place& p)
    {
        if (!value || place < p) {
            value = v;
            place = p;
        }
    }
    // The value, unless a reset at `resetAt` came after it.
    std::optional<T> after(const std::optional<Place>& resetAt) const
    {
        return resetAt && place < *resetAt ? std::nullopt : value;
    }
};

// A registered (RPN) or non-registered (NRPN) parameter: NRPN?, MSB, LSB.
using Parameter = std::tuple<bool, std::uint8_t, std::uint8_t>;

// The parameter a track has selected on a channel, as its messages go by.
struct Selection {
    bool nrpn = false;
    std::optional<std::uint8_t> msb, lsb;
};

struct ChannelState {
    Latest<std::uint8_t> program;
    Latest<std::uint8_t> pressure;
    Latest<std::array<std::uint8_t, 2>> pitchBend;
    std::array<Latest<std::uint8_t>, kFirstModeMessage> controllers{};  // data entry and selects unused
    std::map<Parameter, std::array<Latest<std::uint8_t>, 2>> parameters;  // data entry MSB and LSB
    Latest<Selection> selected;
    std::optional<Place> resetAt;  // the latest "reset all controllers"

    void take(std::span<const std::uint8_t> m, const Place& place, Selection& selection)
    {
        switch (m[0] & 0xF0) {
        case 0xC0: program.offer(m[1], place); break;
        case 0xD0: pressure.offer(m[1], place); break;
        case 0xE0: pitchBend.offer({m[1], m[2]}, place); break;
        case 0xB0: control(m[1], m[2], place, selection); break;
        default: break;
        }
    }

    void control(std::uint8_t number, std::uint8_t value, const Place& place, Selection& selection)
    {
        if (number == kResetAllControllers) {
            if (!resetAt || *resetAt < place)
                resetAt = place;
            selection = {};
            return;
        }
        if (number >= kFirstModeMessage || number == 96 || number == 97)
            return;  // mode messages change no lasting sound; a step needs a value not kept here
        if (number == kRpnMsb || number == kRpnLsb || number == kNrpnMsb || number == kNrpnLsb) {
            const bool nrpn = number == kNrpnMsb || number == kNrpnLsb;
            if (nrpn != selection.nrpn)
                selection = {nrpn, std::nullopt, std::nullopt};
            (number == kRpnMsb || number == kNrpnMsb ? selection.msb : selection.lsb) = value;
            selected.offer(selection, place);
            return;
        }
        if (number == kDataMsb || number == kDataLsb) {
            if (selection.msb && selection.lsb)
                parameters[{selection.nrpn, *selection.msb, *selection.lsb}][number == kDataMsb ? 0 : 1].offer(value,
                                                                                                             place);
            return;
        }
        controllers[number].offer(value, place);
    }
};

// Writes delta-0 events in the form of an MTrk chunk's.
class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}

    void message(std::initializer_list<std::uint8_t> bytes)
    {
        out_.push_back(0x00);
        out_.insert(out_.end(), bytes);
    }
    void control(std::uint8_t channel, std::uint8_t number, std::uint8_t value)
    {
        message({std::uint8_t(0xB0 | channel), number, value});
    }
    void packet(std::uint8_t status, std::span<const std::uint8_t> bytes)
    {
        out_.push_back(0x00);
        out_.push_back(status);
        const auto length = std::uint32_t(bytes.size());
        for (int shift = 21; shift > 0; shift -= 7)
            if (length >> shift)
                out_.push_back(std::uint8_t(0x80 | ((length >> shift) & 0x7F)));
        out_.push_back(std::uint8_t(length & 0x7F));
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }

    void state(std::uint8_t channel, const ChannelState& s)
    {
        const auto& reset = s.resetAt;
        for (std::uint8_t bank : {kBankMsb, kBankLsb})
            if (const auto v = s.controllers[bank].value)
                control(channel, bank, *v);
        if (const auto v = s.program.value)
            message({std::uint8_t(0xC0 | channel), *v});
        for (std::uint8_t c = 0; c < kFirstModeMessage; ++c) {
            if (c == kBankMsb || c == kBankLsb)
                continue;
            if (const auto v = keptByReset(c) ? s.controllers[c].value : s.controllers[c].after(reset))
                control(channel, c, *v);
        }
        for (const auto& [parameter, data] : s.parameters) {
            const auto msb = data[0].after(reset), lsb = data[1].after(reset);
            if (!msb && !lsb)
                continue;
            const auto& [nrpn, number, subNumber] = parameter;
            control(channel, nrpn ? kNrpnMsb : kRpnMsb, number);
            control(channel, nrpn ? kNrpnLsb : kRpnLsb, subNumber);
            if (msb)
                control(channel, kDataMsb, *msb);
            if (lsb)
                control(channel, kDataLsb, *lsb);
        }
        // The parameter selected last stays selected, as the song left it.
        if (const auto selection = s.selected.after(reset)) {
            if (selection->msb)
                control(channel, selection->nrpn ? kNrpnMsb : kRpnMsb, *selection->msb);
            if (selection->lsb)
                control(channel, selection->nrpn ? kNrpnLsb : kRpnLsb, *selection->lsb);
        }
        if (const auto v = s.pitchBend.after(reset))
            message({std::uint8_t(0xE0 | channel), (*v)[0], (*v)[1]});
        if (const auto v = s.pressure.after(reset))
            message({std::uint8_t(0xD0 | channel), *v});
    }

private:
    std::vector<std::uint8_t>& out_;
};

std::uint8_t packetStatus(MessageKind kind)
{
    return kind == MessageKind::SysEx ? 0xF0 : 0xF7;
}

}  // namespace

ChasePrelude::ChasePrelude(const Sequence& sequence, std::uint64_t tick)
{
    // One pass over each track up to `tick`; what is kept is the latest value of each setting,
    // never the messages, so a seek in a large song costs no memory to speak of.
    std::array<ChannelState, 16> channels;
    struct System {
        Place place;
        MessageKind kind;
        std::span<const std::uint8_t> bytes;  // into the sequence
    };
    std::vector<System> systems;
    std::optional<Place> firstNote;
    for (std::size_t t = 0; t < sequence.trackCount(); ++t) {
        const auto events = sequence.track(t).events();
        smf::TrackDecoder decoder(events.data(), events.data() + events.size());
        std::array<Selection, 16> selections;
        MidiMessage m;
        for (std::size_t index = 0;; ++index) {
            const auto step = decoder.next(m);
            if (step == smf::TrackDecoder::Step::Skipped)
                continue;
            if (step != smf::TrackDecoder::Step::Message || m.tick >= tick)
                break;
            const Place place{m.tick, t, index};
            if (m.kind == MessageKind::Channel) {
                const std::uint8_t channel = m.bytes[0] & 0x0F;
                if ((m.bytes[0] & 0xF0) == 0x90 && (!firstNote || place < *firstNote))
                    firstNote = place;
                channels[channel].take(m.bytes, place, selections[channel]);
            } else if (isSystemMessage(m.kind) && (!firstNote || place < *firstNote)) {
                systems.push_back({place, m.kind, m.bytes});
            }
        }
    }
    std::sort(systems.begin(), systems.end(), [](const System& a, const System& b) { return a.place < b.place; });

    Writer writer(bytes_);
    for (const System& s : systems)
        if (!firstNote || s.place < *firstNote)
            writer.packet(packetStatus(s.kind), s.bytes);
    for (std::uint8_t c = 0; c < 16; ++c)
        writer.state(c, channels[c]);
    track_ = MidiTrack::ofEvents(bytes_);
}

}  // namespace brennick
