// SysEx reassembly: whole messages out of pieces split anywhere, nothing half, bounded size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/sysex_assembler.h"
#include "tests/support/case_names.h"

using namespace brennick;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Case {
    const char* name;
    std::vector<Bytes> pieces;
    std::vector<Bytes> messages;
    std::uint64_t dropped;
    std::uint64_t other;
    bool unfinished = false;  // a message begun and not ended when the pieces stop
    std::size_t maxBytes = SysExAssembler::kMaxMessageBytes;
};

const Case kCases[] = {
    {"whole", {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}, {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}, 0, 0},
    {"split anywhere", {{0xF0}, {0x41, 0x10}, {}, {0x42, 0xF7, 0xF0}, {0x01, 0xF7}},
     {{0xF0, 0x41, 0x10, 0x42, 0xF7}, {0xF0, 0x01, 0xF7}}, 0, 0},
    {"real-time inside passed over", {{0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7}}, {{0xF0, 0x01, 0x02, 0xF7}}, 0, 2},
    {"channel message interrupts", {{0xF0, 0x01, 0x02}, {0x90, 0x3C, 0x40, 0xF0, 0x05, 0xF7}},
     {{0xF0, 0x05, 0xF7}}, 1, 1},
    {"start interrupts start", {{0xF0, 0x01, 0xF0, 0x02, 0xF7}}, {{0xF0, 0x02, 0xF7}}, 1, 0},
    {"common status interrupts", {{0xF0, 0x01, 0xF2, 0x00, 0x00}}, {}, 1, 1},
    {"stray end and stray data", {{0xF7, 0x01, 0x02, 0xB0, 0x07, 0x64, 0x07, 0x50}}, {}, 0, 4},
    {"running status data not counted", {{0x90, 0x3C, 0x40, 0x3E, 0x40}}, {}, 0, 1},
    {"exactly the limit", {{0xF0, 0x01, 0x02, 0xF7}}, {{0xF0, 0x01, 0x02, 0xF7}}, 0, 0, false, 4},
    {"over the limit, rest passed over", {{0xF0, 0x01, 0x02, 0x03}, {0x04, 0xF7, 0xF0, 0x09, 0xF7}},
     {{0xF0, 0x09, 0xF7}}, 1, 0, false, 4},
    {"cut off at the end", {{0xF0, 0x3E, 0x01}, {0x02}}, {}, 0, 0, true},
    {"endless SysEx", {{0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}}, {}, 1, 0, false, 4},
};

class SysExAssemblerCases : public testing::TestWithParam<Case> {};

TEST_P(SysExAssemblerCases, HandsOutWholeMessagesAndCountsTheRest)
{
    const Case& c = GetParam();
    SysExAssembler assembler(c.maxBytes);
    std::vector<Bytes> messages;
    for (const Bytes& piece : c.pieces)
        assembler.feed(piece, [&](std::span<const std::uint8_t> m) { messages.emplace_back(m.begin(), m.end()); });
    EXPECT_EQ(messages, c.messages);
    EXPECT_EQ(assembler.counts().dropped, c.dropped);
    EXPECT_EQ(assembler.counts().other, c.other);
    EXPECT_EQ(assembler.counts().unfinished, c.unfinished);
}

INSTANTIATE_TEST_SUITE_P(Pieces, SysExAssemblerCases, testing::ValuesIn(kCases), brennick::test::CaseName());

TEST(SysExAssembler, InterruptDropsTheMessageUnderWay)
{
    SysExAssembler assembler;
    int delivered = 0;
    const auto count = [&](std::span<const std::uint8_t>) { ++delivered; };
    assembler.feed(Bytes{0xF0, 0x01}, count);
    assembler.interrupt();
    assembler.feed(Bytes{0x02, 0xF7}, count);
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(assembler.counts().dropped, 1u);
}

}  // namespace
