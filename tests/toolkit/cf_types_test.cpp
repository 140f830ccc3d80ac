#include "toolkit/cf_types.h"

#include <gtest/gtest.h>

namespace {

TEST(CFStringText, AcceptsOnlyWellFormedUTF8)
{
    const char* valid[] = {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB5", "\xF4\x8F\xBF\xBF"};
    const char* invalid[] = {"\xFF", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "a\x80"};
    for (const char* text : valid)
        EXPECT_TRUE(CFString::fromUTF8(text)) << text;
    for (const char* text : invalid)
        EXPECT_FALSE(CFString::fromUTF8(text)) << text;
    EXPECT_FALSE(CFString::fromUTF8(static_cast<const char*>(nullptr)));
    EXPECT_EQ(CFString::fromBytesLossy("a\xFF\xC3\xA9\xC3").utf8(), "a\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD");
}

TEST(CFStringCompare, CaseInsensitiveAndLocalized)
{
    const auto s = [](const char* t) { return *CFString::fromUTF8(t); };
    EXPECT_EQ(CFStringCompare(s("WAV"), s("wav"), kCFCompareCaseInsensitive), kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(s("\xC3\x89T\xC3\x89"), s("\xC3\xA9t\xC3\xA9"), kCFCompareCaseInsensitive),
              kCFCompareEqualTo)
        << "beyond ASCII";
    EXPECT_NE(CFStringCompare(s("WAV"), s("wav"), 0), kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(s("wav"), s("wave"), kCFCompareCaseInsensitive), kCFCompareLessThan);
    const unsigned sorting = kCFCompareCaseInsensitive | kCFCompareLocalized;
    EXPECT_EQ(CFStringCompare(s("aiff"), s("CAF"), sorting), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(s("Beta"), s("alpha"), sorting), kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(s("Same"), s("sAME"), sorting), kCFCompareEqualTo);
}

}  // namespace
