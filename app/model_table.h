#pragma once
// The Brennick synth models and how a file names the one it was made for.

#include <QString>

#include <cstdint>
#include <span>

namespace brennick {

// Model names indexed by the model byte of a Brennick SysEx message; rows 12 and 13 are empty,
// and row 13 also stands for "no model found" and for model bytes above 25.
inline constexpr int kBrennickDeviceCount = 26;
extern const char* const brennickDevices[kBrennickDeviceCount];

// The model byte of a Brennick device that answered a Device Inquiry with `familyCode` (family
// LSB | MSB << 7): its low byte, the family LSB.
inline constexpr std::uint8_t modelByteForFamilyCode(std::uint16_t familyCode)
{
    return std::uint8_t(familyCode & 0x7F);
}

// What scanModelByte answers when a file names no model.
inline constexpr std::uint8_t kNoModelByte = 0xFF;

// The name in the model table for `modelByte`: its row up to 25, else the empty name of row 13.
QString modelNameForByte(std::uint8_t modelByte);

// The model byte of a file's first Brennick SysEx message, scanned from its raw bytes: the byte
// after the last 3E following the first F0, stopping at the file's first F7. kNoModelByte when
// there is none.
std::uint8_t scanModelByte(std::span<const std::uint8_t> bytes);

// The same for the file at `path`, read in pieces. kNoModelByte when it cannot be read, is not a
// regular file, or is larger than any file the player loads (it would not play anyway).
std::uint8_t scanModelByte(const QString& path);

}  // namespace brennick
