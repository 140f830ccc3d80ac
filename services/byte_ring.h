#pragma once
// Bytes from one writer thread to one reader thread without a lock: the writer may be a real-time
// callback (a write never allocates, locks or waits), the reader takes what is there.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brennick {

class ByteRing {
public:
    // `capacityPowerOfTwo` bytes, allocated here, once.
    explicit ByteRing(std::size_t capacityPowerOfTwo) : bytes_(capacityPowerOfTwo), mask_(capacityPowerOfTwo - 1) {}

    // Writer: all of `data` or, when it does not fit, nothing (false).
    bool write(std::span<const std::uint8_t> data) noexcept
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (bytes_.size() - (head - tail) < data.size())
            return false;
        for (std::size_t i = 0; i < data.size(); ++i)
            bytes_[(head + i) & mask_] = data[i];
        head_.store(head + data.size(), std::memory_order_release);
        return true;
    }

    // Reader: hands what has been written to `take`, in at most two pieces, and frees its room.
    template <class Take> void drain(Take&& take)
    {
        const std::size_t head = head_.load(std::memory_order_acquire);
        std::size_t tail = tail_.load(std::memory_order_relaxed);
        while (tail != head) {
            const std::size_t at = tail & mask_;
            const std::size_t n = std::min(head - tail, bytes_.size() - at);
            take(std::span<const std::uint8_t>(bytes_.data() + at, n));
            tail += n;
        }
        tail_.store(tail, std::memory_order_release);
    }

    // Reader: forgets what is unread.
    void discard() noexcept { tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release); }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t mask_;
    std::atomic<std::size_t> head_{0};  // bytes written, ever
    std::atomic<std::size_t> tail_{0};  // bytes read, ever
};

}  // namespace brennick
