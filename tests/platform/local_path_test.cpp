// Path bytes to QString and back without loss.
#include "platform/local_path.h"

#include <gtest/gtest.h>

namespace brennick {
namespace {

QString units(std::initializer_list<char16_t> codeUnits)
{
    QString s;
    for (const char16_t u : codeUnits)
        s.append(QChar(u));
    return s;
}

QByteArray longMixedPath()
{
    QByteArray path;
    for (int i = 0; path.size() < 10000; ++i)
        path += i % 9 == 0 ? QByteArray("/\xFF\xC3\xA9") : QByteArray("/segment") + QByteArray::number(i);
    return path;
}

struct BytesCase {
    const char* name;
    QByteArray bytes;
    std::optional<QString> decoded;  // nullopt: only the round trip is checked
};

class LocalPathBytes : public ::testing::TestWithParam<BytesCase> {};

TEST_P(LocalPathBytes, DecodeAsExpectedAndComeBackExactly)
{
    const BytesCase& c = GetParam();
    const QString decoded = decodeLocalPath(c.bytes);
    if (c.decoded) {
        EXPECT_EQ(decoded, *c.decoded);
    }
    EXPECT_EQ(encodeLocalPath(decoded), c.bytes);
}

const BytesCase kBytesCases[] = {
    {"Ascii", "/music/song.mid", QStringLiteral("/music/song.mid")},
    {"TwoAndThreeByteUtf8",
     "/Gr\xC3\xB6\xC3\x9F"
     "e \xE2\x82\xAC",
     QString::fromUtf8("/Größe €")},
    {"FourByteUtf8", "\xF0\x9D\x84\x9E", units({0xD834, 0xDD1E})},
    {"InvalidByte",
     "a\xFF"
     "b",
     units({'a', 0xDCFF, 'b'})},
    {"LoneContinuation", "\x80", units({0xDC80})},
    {"Latin1Name", "caf\xE9.mid", units({'c', 'a', 'f', 0xDCE9, '.', 'm', 'i', 'd'})},
    {"TruncatedSequence",
     "\xE2\x82"
     "A",
     units({0xDCE2, 0xDC82, 'A'})},
    {"Overlong", "\xC0\xAF", units({0xDCC0, 0xDCAF})},
    {"EncodedSurrogate", "\xED\xA0\x80", units({0xDCED, 0xDCA0, 0xDC80})},
    // The UTF-8 form of an escape itself must not decode to it, or it would come back as one byte.
    {"EncodedEscape", "\xED\xB2\x80", units({0xDCED, 0xDCB2, 0xDC80})},
    {"AboveUnicode", "\xF4\x90\x80\x80", units({0xDCF4, 0xDC90, 0xDC80, 0xDC80})},
    {"Empty", "", QString()},
    {"LongerThanPathMax", longMixedPath(), std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Paths, LocalPathBytes, ::testing::ValuesIn(kBytesCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LocalPathStrings, LoneSurrogatesThatNoDecodingMakesBecomeTheReplacementCharacter)
{
    const QByteArray replacement("\xEF\xBF\xBD");
    EXPECT_EQ(encodeLocalPath(units({0xD800})), replacement);
    EXPECT_EQ(encodeLocalPath(units({'a', 0xDC2F})), "a" + replacement);  // not a '/'
    EXPECT_EQ(encodeLocalPath(units({0xDD1E, 0xD834})), replacement + replacement);
    EXPECT_EQ(encodeLocalPath(units({0xDCFF})), QByteArray("\xFF"));
}

}  // namespace
}  // namespace brennick
