#pragma once
// Standard MIDI File reader: formats 0, 1 and 2, never trusting a length it reads.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "services/sequence.h"

namespace brennick {

enum class SmfStatus {
    Complete,    // the whole file was read
    Damaged,     // read up to a problem; the sequence holds what came before it
    NotMidi,     // no MThd header: the sequence is empty
    Unreadable,  // the file could not be opened or read: the sequence is empty
};

struct SmfReadResult {
    Sequence sequence;
    SmfStatus status = SmfStatus::Complete;
    // Byte offset of the first problem (Damaged, NotMidi): the offending byte (a data byte >= 0x80,
    // a status byte that may not appear, a data byte with no running status, the fourth byte of a
    // variable-length quantity that goes on), or the end of the chunk or file where data ran out.
    std::size_t problemOffset = 0;
};

// Larger files are Unreadable: no MIDI file comes near this, and reading one would only exhaust memory.
inline constexpr std::uint64_t kMaxStandardMidiFileBytes = 512ull << 20;

// Reads a file held in memory. Never reads outside `bytes`, never allocates by a declared length
// larger than the data, and always returns.
//
// A track ends at its end-of-track event; a problem inside a track ends that track (Damaged) and
// reading goes on with the next chunk. Bytes after the header's count of tracks are ignored; fewer
// tracks than counted, a chunk longer than the data, a header shorter than 6 bytes, an unknown
// format or an invalid division are Damaged (the division then reads as 96 ticks per quarter).
// A track without an end-of-track event is not a problem. Running status applies to channel
// messages only: a meta event or SysEx packet cancels it. A note-on of velocity 0 is stored as a
// note-off of velocity 64. Tempo events from every track make the tempo map.
SmfReadResult readStandardMidiFile(std::span<const std::uint8_t> bytes) noexcept;

// Reads the file at `path` with one read. Unreadable when it is missing, not a regular file (never
// blocks on a FIFO or device), larger than kMaxStandardMidiFileBytes, or memory runs out.
SmfReadResult loadStandardMidiFile(const std::filesystem::path& path) noexcept;

}  // namespace brennick
