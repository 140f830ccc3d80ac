// Sorting process arguments into open-file and get-URL requests.
#include "platform/launch_requests.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace brennick {

void PrintTo(const LaunchRequest& r, std::ostream* os)
{
    *os << (r.kind == LaunchRequest::Kind::OpenFile ? "OpenFile " : "GetURL ") << r.value.toStdString();
}

namespace {

using Kind = LaunchRequest::Kind;

struct ArgumentCase {
    const char* name;
    QString argument;
    Kind kind;
    QString value;  // "{cwd}" stands for the current folder
};

class LaunchArguments : public ::testing::TestWithParam<ArgumentCase> {
protected:
    void SetUp() override
    {
        // A file whose name has a colon, as a user may well save one.
        QFile existing(dir_.filePath(QStringLiteral("song:1.mid")));
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    }
    QTemporaryDir dir_;
};

TEST_P(LaunchArguments, Classifies)
{
    const ArgumentCase& c = GetParam();
    QString expected = c.value;
    expected.replace(QStringLiteral("{cwd}"), dir_.path());
    const auto requests = classifyLaunchArguments({c.argument}, dir_.path());
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0], (LaunchRequest{c.kind, expected}));
}

const ArgumentCase kArgumentCases[] = {
    {"AbsolutePath", "/music/song.mid", Kind::OpenFile, "/music/song.mid"},
    {"RelativePath", "song.mid", Kind::OpenFile, "{cwd}/song.mid"},
    {"RelativePathCleaned", "./a/../b/song.mid", Kind::OpenFile, "{cwd}/b/song.mid"},
    {"FileUrl", "file:///music/My%20Song.mid", Kind::OpenFile, "/music/My Song.mid"},
    {"FileUrlEncodedColonAndHash", "file:///m/a%3Ab%23c.mid", Kind::OpenFile, "/m/a:b#c.mid"},
    {"FileUrlLocalhost", "file://localhost/m/s.mid", Kind::OpenFile, "/m/s.mid"},
    {"FileUrlUpperCaseScheme", "FILE:///m/s.mid", Kind::OpenFile, "/m/s.mid"},
    {"FileUrlOfAnotherHost", "file://server/share/s.mid", Kind::GetURL, "file://server/share/s.mid"},
    {"HttpUrl", "http://example.com/s.mid?x=1", Kind::GetURL, "http://example.com/s.mid?x=1"},
    {"CustomScheme", "brennick://play/Lumen", Kind::GetURL, "brennick://play/Lumen"},
    {"SchemeWithPlusDotDash", "x-my+app.v2:thing", Kind::GetURL, "x-my+app.v2:thing"},
    {"Mailto", "mailto:someone@example.com", Kind::GetURL, "mailto:someone@example.com"},
    {"ExistingFileWithColon", "song:1.mid", Kind::OpenFile, "{cwd}/song:1.mid"},
    {"MissingFileWithColonLooksLikeUrl", "tune:2.mid", Kind::GetURL, "tune:2.mid"},
    {"SchemeMayNotStartWithDigit", "1song:x.mid", Kind::OpenFile, "{cwd}/1song:x.mid"},
    {"SchemeMayNotHoldSpace", "my song:x.mid", Kind::OpenFile, "{cwd}/my song:x.mid"},
    {"LeadingColon", ":x.mid", Kind::OpenFile, "{cwd}/:x.mid"},
    {"ColonAfterSlash", "dir/a:b.mid", Kind::OpenFile, "{cwd}/dir/a:b.mid"},
};

INSTANTIATE_TEST_SUITE_P(Arguments, LaunchArguments, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LaunchArgumentLists, KeepOrderAndDropEmptyArguments)
{
    const auto requests = classifyLaunchArguments({"b.mid", "", "https://x.org", "/a.mid"}, QStringLiteral("/home/u"));
    const QList<LaunchRequest> expected{
        {Kind::OpenFile, "/home/u/b.mid"}, {Kind::GetURL, "https://x.org"}, {Kind::OpenFile, "/a.mid"}};
    EXPECT_EQ(requests, expected);
    EXPECT_TRUE(classifyLaunchArguments({}, QStringLiteral("/")).isEmpty());
}

}  // namespace
}  // namespace brennick
