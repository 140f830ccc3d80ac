#include "services/sysex_assembler.h"

namespace brennick {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kFirstRealTime = 0xF8;

}  // namespace

void SysExAssembler::endMessage()
{
    if (mode_ == Mode::Inside)
        dropped_.fetch_add(1, std::memory_order_relaxed);
    message_.clear();
}

void SysExAssembler::interrupt()
{
    if (mode_ == Mode::Inside || mode_ == Mode::Discarding) {
        endMessage();
        mode_ = Mode::Idle;
    }
    unfinished_.store(false, std::memory_order_relaxed);
}

void SysExAssembler::feed(std::span<const std::uint8_t> piece, const Deliver& deliver)
{
    for (const std::uint8_t byte : piece) {
        if (byte >= kFirstRealTime) {
            // A one-byte message that may arrive in the middle of anything, a SysEx included.
            other_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (byte == kSysExEnd) {
            if (mode_ == Mode::Inside) {
                message_.push_back(byte);  // room was kept for it
                deliver(message_);
                message_.clear();
            } else if (mode_ != Mode::Discarding) {
                other_.fetch_add(1, std::memory_order_relaxed);  // an end without a start
            }
            mode_ = Mode::Idle;
            continue;
        }
        if (byte & 0x80) {
            endMessage();
            if (byte == kSysExStart) {
                message_.push_back(byte);
                mode_ = Mode::Inside;
            } else {
                other_.fetch_add(1, std::memory_order_relaxed);
                mode_ = Mode::Running;
            }
            continue;
        }
        switch (mode_) {
        case Mode::Inside:
            if (message_.size() + 1 < maxMessageBytes_) {
                message_.push_back(byte);
            } else {
                // No room left for its F7: it can never be whole.
                dropped_.fetch_add(1, std::memory_order_relaxed);
                message_.clear();
                message_.shrink_to_fit();
                mode_ = Mode::Discarding;
            }
            break;
        case Mode::Idle:
            other_.fetch_add(1, std::memory_order_relaxed);
            break;
        case Mode::Running:
        case Mode::Discarding:
            break;
        }
    }
    unfinished_.store(mode_ == Mode::Inside, std::memory_order_relaxed);
}

}  // namespace brennick
