#pragma once
// Asking the devices behind the destinations who they are: the Universal Device Inquiry sent to
// each destination whose device also sends to us, the Identity Replies heard on its sources, and
// the answers remembered while the ports stay the same.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brennick {

class MidiBackend;

// F0 7E <all devices> 06 01 F7.
inline constexpr std::array<std::uint8_t, 6> kDeviceInquiry{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// The family code (LSB | MSB << 7) of an Identity Reply from a Brennick device:
// F0 7E <device> 06 02 3E <family lsb> <family msb> <member lsb> <member msb> <4 version bytes> F7,
// from any device number. Nullopt for anything else: another maker, a short or long message, a
// data byte with its top bit set.
std::optional<std::uint16_t> brennickFamilyCode(std::span<const std::uint8_t> message) noexcept;

// What a device said: the family code it answered with, nullopt when it did not answer.
using DeviceAnswer = std::optional<std::uint16_t>;

// The answers given while the ports stay the same: a port appearing or going forgets them all, so
// a synth plugged into another interface is asked again, while one that does not answer is asked
// only once.
class DeviceAnswers {
public:
    // Forgets every answer unless `portIdentities` (every destination and source now, in any
    // order) is the set the answers were given under.
    void portsNow(std::vector<std::string> portIdentities);
    // The answer remembered for the device behind `destination`; nullopt when it was not asked.
    std::optional<DeviceAnswer> answer(const std::string& destination) const;
    void remember(const std::string& destination, DeviceAnswer answer);

private:
    std::vector<std::string> ports_;  // sorted
    std::map<std::string, DeviceAnswer> answers_;
};

// Asks the device behind each destination of `backend` that has a paired source and is not in
// `memory`, listening `listenSeconds` for the replies (less once every device asked has answered):
// listeners first, so that no early reply is missed, then the inquiry to each. Call it on the MIDI
// service thread; it waits. The answers by destination identity, remembered ones included; a
// destination without a source to answer from is not among them.
std::map<std::string, DeviceAnswer> askDevices(MidiBackend& backend, DeviceAnswers& memory, double listenSeconds);

}  // namespace brennick
