// Sorting process arguments into open-file and get-URL requests.
#include "platform/launch_requests.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include "platform/local_path.h"

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
        // And one whose name is not UTF-8, which only its exact bytes find.
        const QByteArray name = QFile::encodeName(dir_.path()) + "/tune:\xFF.mid";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
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
    {"FileUrlWithoutAuthority", "file:/m/s.mid", Kind::OpenFile, "/m/s.mid"},
    {"FileUrlQueryAndFragmentDropped", "file:///m/s.mid?x=1#y", Kind::OpenFile, "/m/s.mid"},
    {"FileUrlStrayPercentKept", "file:///m/100%25%.mid%z", Kind::OpenFile, "/m/100%%.mid%z"},
    {"FileUrlOfNonUtf8Name", "file:///m/caf%E9.mid", Kind::OpenFile, decodeLocalPath("/m/caf\xE9.mid")},
    {"FileUrlWithNulIsNoFile", "file:///m/a%00b.mid", Kind::GetURL, "file:///m/a%00b.mid"},
    {"NonUtf8Path", decodeLocalPath("caf\xE9.mid"), Kind::OpenFile, decodeLocalPath("{cwd}/caf\xE9.mid")},
    {"ExistingNonUtf8FileWithColon", decodeLocalPath("tune:\xFF.mid"), Kind::OpenFile,
     decodeLocalPath("{cwd}/tune:\xFF.mid")},
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

TEST(LaunchBatches, ComeToTheNewestFileAndTheNewestGetUrlAndKeepTheFilesInOrder)
{
    const QList<LaunchRequest> requests{
        {Kind::OpenFile, "/a.mid"}, {Kind::GetURL, "x:1"}, {Kind::OpenFile, "/b.mid"}, {Kind::GetURL, "x:2"}};
    const LaunchBatch batch = coalesceLaunchRequests(requests);
    EXPECT_EQ(batch.requestCount, 4);
    EXPECT_EQ(batch.requests(), (QList<LaunchRequest>{{Kind::GetURL, "x:2"}, {Kind::OpenFile, "/b.mid"}}));
    EXPECT_EQ(batch.files, (QStringList{"/a.mid", "/b.mid"}));  // for playing them in turn

    const LaunchBatch urlsOnly = coalesceLaunchRequests({{Kind::GetURL, "x:1"}});
    EXPECT_FALSE(urlsOnly.newestFile);
    EXPECT_EQ(urlsOnly.newestGetURL, QStringLiteral("x:1"));
    EXPECT_TRUE(coalesceLaunchRequests({}).requests().isEmpty());
}

}  // namespace
}  // namespace brennick
