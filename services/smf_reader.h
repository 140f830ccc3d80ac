#pragma once
// Reading songs: Standard MIDI Files (formats 0, 1 and 2) and raw SysEx files, never trusting a
// length they hold.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "services/file_bytes.h"
#include "services/sequence.h"

namespace brennick {

enum class SmfStatus {
    Complete,    // the whole file was read
    Damaged,     // read up to a problem; the sequence holds what came before it
    NotMidi,     // neither a MIDI file nor a SysEx file: the sequence is empty
    Unreadable,  // the file could not be read (FileReadError says why): the sequence is empty
    Empty,       // a SysEx file with nothing in it: the sequence is empty
};

struct SmfReadResult {
    Sequence sequence;
    SmfStatus status = SmfStatus::Complete;
    // Byte offset of the first problem (Damaged, NotMidi): the offending byte (a data byte >= 0x80,
    // a status byte that may not appear, a data byte with no running status, the fourth byte of a
    // variable-length quantity that goes on), or the end of the chunk or file where data ran out.
    std::size_t problemOffset = 0;
    FileReadError readError = FileReadError::None;  // Unreadable only
    // Stray system status bytes (a system common or real-time byte of known length where an event
    // belongs) passed over with their data bytes, in any status, and the offset of the first one.
    std::size_t strayStatusCount = 0;
    std::size_t firstStrayStatusOffset = 0;
};

// Reads a Standard MIDI File held in memory, keeping the bytes: the sequence's tracks point into
// them. Never reads outside them, never allocates by a declared length larger than the data, and
// always returns.
//
// A track ends at its end-of-track event; a problem inside a track ends that track (Damaged) and
// reading goes on with the next chunk. A stray system status byte of known length is passed over
// (strayStatusCount), and its track goes on. Bytes after the header's count of tracks are ignored; fewer
// tracks than counted, a chunk longer than the data, a header shorter than 6 bytes, an unknown
// format or an invalid division are Damaged (the division then reads as 96 ticks per quarter).
// A track without an end-of-track event is not a problem. Tempo events from every track make the
// tempo map.
SmfReadResult readStandardMidiFile(FileBytes bytes) noexcept;
// The same for bytes the caller keeps (they are copied).
SmfReadResult readStandardMidiFile(std::span<const std::uint8_t> bytes) noexcept;

// Reads a raw SysEx file: F0 ... F7 messages one after another, as synths and librarians save
// them. The sequence is a sound dump (Sequence::isSysExDump) holding the messages at tick 0.
// Anything between messages, a message without its F7 (a status byte or the end of the file
// before it) are Damaged at that byte: the whole messages before it are kept, never part of one.
// A file of nothing is Empty; one whose first byte is not F0 is NotMidi.
SmfReadResult readSysExFile(FileBytes bytes) noexcept;

// Reads the file at `path` (any length, any bytes) as a MIDI file when it begins "MThd", as a SysEx
// file when it begins with F0 or is empty, else NotMidi. Unreadable when it is missing, not a regular
// file (never blocks on a FIFO or device), larger than maxReadableFileBytes(), or memory runs out.
SmfReadResult loadSequenceFile(const std::string& path) noexcept;
// The same for bytes already read.
SmfReadResult readSequenceFile(FileBytes bytes) noexcept;

// A short description of what went wrong, for the user ("not a MIDI file", "no such file", ...);
// "read" for a Complete result.
std::string describeReadResult(const SmfReadResult& result);
// What the user should know about a file that plays, beside its status (stray bytes passed
// over), for standard error; empty when there is nothing to say.
std::string describeReadNote(const SmfReadResult& result);

}  // namespace brennick
