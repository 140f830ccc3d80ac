#pragma once
// One timed message of a Standard MIDI File track, as a track yields it.

#include <cstdint>
#include <span>

namespace brennick {

enum class MessageKind : std::uint8_t {
    Channel,            // status byte (running status expanded) and 1 or 2 data bytes
    SysEx,              // an F0 packet: the bytes after F0 as stored (usually ending F7); F0 goes first on the wire
    SysExContinuation,  // an F7 packet continuing an unterminated F0 packet: its bytes as stored
    Escape,             // any other F7 packet: arbitrary bytes to send as stored
    Meta,               // FF type len data: `bytes` holds data only, `metaType` the type
};

// The span is valid until the track yields its next message (channel messages are rebuilt from
// running status), and never longer than the sequence it came from.
struct MidiMessage {
    std::uint64_t tick = 0;  // absolute ticks from the start of the track
    MessageKind kind = MessageKind::Channel;
    std::uint8_t metaType = 0;  // meta events only
    std::span<const std::uint8_t> bytes;
};

inline bool isSystemMessage(MessageKind kind) noexcept
{
    return kind == MessageKind::SysEx || kind == MessageKind::SysExContinuation || kind == MessageKind::Escape;
}

// Meta event types the services act on.
inline constexpr std::uint8_t kMetaEndOfTrack = 0x2F;
inline constexpr std::uint8_t kMetaSetTempo = 0x51;

}  // namespace brennick
