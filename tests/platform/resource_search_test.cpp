// Finding the resource sequence: which entries below a folder match ".midi" / ".mid".
#include "platform/resource_search.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

namespace brennick {
namespace {

const QStringList kSequenceSuffixes{QStringLiteral(".midi"), QStringLiteral(".mid")};

struct Layout {
    QStringList files;     // relative paths; parent folders are made
    QStringList folders;   // relative paths
    QStringList symlinks;  // "name=target"
};

struct SearchCase {
    const char* name;
    Layout layout;
    std::optional<QStringList> acceptable;  // nullopt: nothing may be found
};

class ResourceSearch : public ::testing::TestWithParam<SearchCase> {};

void build(const QString& root, const Layout& layout)
{
    QDir dir(root);
    for (const QString& folder : layout.folders)
        ASSERT_TRUE(dir.mkpath(folder));
    for (const QString& file : layout.files) {
        ASSERT_TRUE(dir.mkpath(QFileInfo(file).path()));
        QFile f(dir.filePath(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    for (const QString& link : layout.symlinks) {
        const QStringList parts = link.split(QLatin1Char('='));
        ASSERT_EQ(
            ::symlink(QFile::encodeName(parts[1]).constData(), QFile::encodeName(dir.filePath(parts[0])).constData()),
            0);
    }
}

TEST_P(ResourceSearch, FindsTheFirstMatchingEntry)
{
    QTemporaryDir dir;
    build(dir.path(), GetParam().layout);
    const auto found = findFirstEntryWithSuffix(dir.path(), kSequenceSuffixes);
    if (!GetParam().acceptable) {
        EXPECT_FALSE(found.has_value()) << found.value_or(QString()).toStdString();
        return;
    }
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(GetParam().acceptable->contains(*found)) << found->toStdString();
}

const SearchCase kSearchCases[] = {
    {"TopLevelFile", {{"song.mid"}, {}, {}}, QStringList{"song.mid"}},
    {"MidiSuffix", {{"song.midi"}, {}, {}}, QStringList{"song.midi"}},
    {"InSubfolderWithRelativePath", {{"a/b/song.mid", "Knob.icns"}, {}, {}}, QStringList{"a/b/song.mid"}},
    {"UpperCaseNotFound", {{"SONG.MID", "song.Mid", "x.MIDI"}, {}, {}}, std::nullopt},
    {"SuffixMustEndThePath", {{"song.mid.txt", "song.midi~", "mid", "songmid"}, {}, {}}, std::nullopt},
    {"OtherResourcesNeverMatch", {{"BrennickMIDIPlayerSetting.xml", "Knob.icns"}, {}, {}}, std::nullopt},
    {"FolderNamedLikeSequence", {{}, {"x.mid"}, {}}, QStringList{"x.mid"}},
    {"EitherOfTwo", {{"one.mid", "two.midi"}, {}, {}}, QStringList{"one.mid", "two.midi"}},
    {"SymlinkLoopEnds", {{}, {"a"}, {"a/loop=..", "self=."}}, std::nullopt},
    {"SymlinkLoopBesideMatch", {{"deep/x/song.mid"}, {}, {"deep/loop=.."}}, QStringList{"deep/x/song.mid"}},
    {"LinkedFolderNotEntered",
     {{"elsewhere/song.mid"}, {"inside"}, {"inside/link=../elsewhere"}},
     QStringList{"elsewhere/song.mid"}},
    {"LinkNamedLikeSequence", {{"target.txt"}, {}, {"tune.mid=target.txt"}}, QStringList{"tune.mid"}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, ResourceSearch, ::testing::ValuesIn(kSearchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ResourceSearchFolders, MissingOrEmptyFolderFindsNothing)
{
    QTemporaryDir dir;
    EXPECT_FALSE(findFirstEntryWithSuffix(dir.filePath(QStringLiteral("missing")), kSequenceSuffixes));
    EXPECT_FALSE(findFirstEntryWithSuffix(QString(), kSequenceSuffixes));
    EXPECT_FALSE(findFirstEntryWithSuffix(dir.path(), kSequenceSuffixes));
}

TEST(ResourceSearchFolders, TrailingSlashGivesTheSameRelativePath)
{
    QTemporaryDir dir;
    build(dir.path(), {{"sub/song.mid"}, {}, {}});
    EXPECT_EQ(findFirstEntryWithSuffix(dir.path() + QLatin1Char('/'), kSequenceSuffixes),
              QStringLiteral("sub/song.mid"));
}

TEST(ResourceSearchFolders, FolderGivenThroughSymlinkIsSearched)
{
    QTemporaryDir dir;
    build(dir.path(), {{"real/song.mid"}, {}, {"alias=real"}});
    EXPECT_EQ(findFirstEntryWithSuffix(dir.filePath(QStringLiteral("alias")), kSequenceSuffixes),
              QStringLiteral("song.mid"));
}

}  // namespace
}  // namespace brennick
