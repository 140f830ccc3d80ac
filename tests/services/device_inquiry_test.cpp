// The Device Inquiry's answers: which Identity Replies name a Brennick family, and how long an
// answer is remembered.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "services/device_inquiry.h"
#include "tests/support/case_names.h"

using namespace brennick;

namespace {

struct ReplyCase {
    const char* name;
    std::vector<std::uint8_t> message;
    std::optional<std::uint16_t> family;
};

const ReplyCase kReplies[] = {
    {"Carrow", {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, 0x13, 0x00, 0x01, 0x00, 0, 0, 1, 0, 0xF7}, 0x13},
    {"other device byte, family MSB", {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x3E, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0xF7}, 0x82},
    {"wrong maker", {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x41, 0x13, 0x00, 0, 0, 0, 0, 0, 0, 0xF7}, std::nullopt},
    {"short reply", {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, 0x13, 0x00, 0, 0, 0, 0, 0xF7}, std::nullopt},
    {"extra bytes", {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, 0x13, 0x00, 0, 0, 0, 0, 0, 0, 0x00, 0xF7}, std::nullopt},
    {"the inquiry itself", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, std::nullopt},
    {"not an identity reply", {0xF0, 0x7E, 0x7F, 0x06, 0x03, 0x3E, 0x13, 0x00, 0, 0, 0, 0, 0, 0, 0xF7}, std::nullopt},
    {"status byte inside", {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x3E, 0x93, 0x00, 0, 0, 0, 0, 0, 0, 0xF7}, std::nullopt},
    {"empty", {}, std::nullopt},
};

class IdentityReplies : public testing::TestWithParam<ReplyCase> {};

TEST_P(IdentityReplies, NameABrennickFamilyOnlyWhenWholeAndOurs)
{
    EXPECT_EQ(brennickFamilyCode(GetParam().message), GetParam().family);
}

INSTANTIATE_TEST_SUITE_P(Messages, IdentityReplies, testing::ValuesIn(kReplies), brennick::test::CaseName());

TEST(DeviceAnswers, AreKeptWhileThePortsStayTheSameInAnyOrder)
{
    DeviceAnswers answers;
    answers.portsNow({"a:in", "a:out", "b:in"});
    answers.remember("a:in", 0x13);
    answers.remember("b:in", std::nullopt);  // silent: asked once, not per file
    answers.portsNow({"b:in", "a:out", "a:in"});
    EXPECT_EQ(answers.answer("a:in"), std::optional<DeviceAnswer>(0x13));
    EXPECT_EQ(answers.answer("b:in"), std::optional<DeviceAnswer>(DeviceAnswer{}));
    EXPECT_EQ(answers.answer("c:in"), std::nullopt);

    answers.portsNow({"a:in", "a:out", "b:in", "c:in"});  // a port appears
    EXPECT_EQ(answers.answer("a:in"), std::nullopt);
    answers.remember("a:in", 0x02);
    answers.portsNow({"a:in", "b:in", "c:in"});  // one goes
    EXPECT_EQ(answers.answer("a:in"), std::nullopt);
}

}  // namespace
