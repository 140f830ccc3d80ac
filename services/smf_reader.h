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
    std::size_t problemOffset = 0;  // byte offset of the first problem (Damaged, NotMidi)
};

// Reads a file held in memory. Never reads outside `bytes`, never allocates by a declared length
// larger than the data, and always returns.
SmfReadResult readStandardMidiFile(std::span<const std::uint8_t> bytes) noexcept;

// Reads the file at `path`.
SmfReadResult loadStandardMidiFile(const std::filesystem::path& path) noexcept;

}  // namespace brennick
