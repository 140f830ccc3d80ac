// SysEx reassembly: the input's first byte picks where it is cut into pieces (as a backend hands
// them over), the rest is the MIDI stream. Every message handed out is whole (F0, data bytes, F7)
// and within the bound; the result does not depend on where the pieces were cut.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "services/sysex_assembler.h"

namespace {

constexpr std::size_t kMaxBytes = 64;  // small, so that the fuzzer reaches the bound

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Result {
    std::vector<std::vector<std::uint8_t>> messages;
    brennick::InputCounts counts;
};

Result assemble(const std::uint8_t* data, std::size_t size, std::size_t pieceSize)
{
    brennick::SysExAssembler assembler(kMaxBytes);
    Result result;
    for (std::size_t at = 0; at < size; at += pieceSize) {
        const std::size_t n = std::min(pieceSize, size - at);
        assembler.feed({data + at, n}, [&](std::span<const std::uint8_t> m) {
            check(m.size() >= 2 && m.size() <= kMaxBytes && m.front() == 0xF0 && m.back() == 0xF7);
            for (std::size_t i = 1; i + 1 < m.size(); ++i)
                check(m[i] < 0x80);
            result.messages.emplace_back(m.begin(), m.end());
        });
    }
    result.counts = assembler.counts();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t pieceSize = std::size_t(data[0] % 16) + 1;
    const Result whole = assemble(data + 1, size - 1, size);
    const Result pieces = assemble(data + 1, size - 1, pieceSize);
    check(whole.messages == pieces.messages);
    check(whole.counts.dropped == pieces.counts.dropped && whole.counts.other == pieces.counts.other);
    return 0;
}
