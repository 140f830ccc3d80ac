// Finding the resource sequence: which entries below a folder match ".midi" / ".mid", how far a
// search goes, and the search that runs off the calling thread.
#include "platform/resource_search.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

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

// ---- Bounds.

// `levels` nested folders "d/d/...", with `file` inside the innermost.
QString chain(int levels, const QString& file)
{
    QString path;
    for (int i = 0; i < levels; ++i)
        path += QStringLiteral("d/");
    return path + file;
}

struct LimitCase {
    const char* name;
    QStringList files;
    EntrySearchLimits limits;
    bool found;
};

const LimitCase kLimitCases[] = {
    // In a chain the match is the last entry, at depth levels + 1, after `levels` folders.
    {"AtTheDeepestLevel", {chain(3, "x.mid")}, {4, 100}, true},
    {"BelowTheDeepestLevel", {chain(4, "x.mid")}, {4, 100}, false},
    {"FolderAtTheDeepestLevelIsStillAnEntry", {chain(3, "x.mid/inner")}, {4, 100}, true},
    {"AtTheLastEntry", {chain(4, "x.mid")}, {10, 5}, true},
    {"PastTheLastEntry", {chain(5, "x.mid")}, {10, 5}, false},
    // Whatever the directory order, a match among `maxEntries` entries is within reach.
    {"FlatFolderAtTheBound", {"a", "b", "c", "x.mid"}, {1, 4}, true},
    {"DefaultDepth", {chain(EntrySearchLimits{}.maxDepth - 1, "x.mid")}, {}, true},
    {"BeyondDefaultDepth", {chain(EntrySearchLimits{}.maxDepth, "x.mid")}, {}, false},
};

void PrintTo(const LimitCase& c, std::ostream* out)
{
    *out << c.name;
}

class ResourceSearchLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ResourceSearchLimits, WhatLiesBeyondTheBoundsIsNotFound)
{
    QTemporaryDir dir;
    build(dir.path(), {GetParam().files, {}, {}});
    EXPECT_EQ(findFirstEntryWithSuffix(dir.path(), kSequenceSuffixes, GetParam().limits).has_value(), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(Trees, ResourceSearchLimits, ::testing::ValuesIn(kLimitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Off the calling thread.

// A search that waits until the test lets it go, and notes the thread it ran on.
struct HeldSearch {
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    std::atomic<int> runs{0};
    std::atomic<std::thread::id> thread;

    BackgroundEntrySearch::Search search(std::optional<QString> answer)
    {
        return [this, answer] {
            ++runs;
            thread = std::this_thread::get_id();
            std::unique_lock lock(mutex);
            released.wait(lock, [this] { return go; });
            go = false;
            return answer;
        };
    }
    void release()
    {
        std::lock_guard lock(mutex);
        go = true;
        released.notify_all();
    }
};

class BackgroundSearch : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "platform_resource_search";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
};

TEST_F(BackgroundSearch, RunsOnAWorkerOneAtATimeAndAnswersOnTheOwningThread)
{
    HeldSearch held;
    BackgroundEntrySearch search(held.search(QStringLiteral("song.mid")));
    std::thread::id answeredOn;
    QObject::connect(&search, &BackgroundEntrySearch::finished,
                     [&](const std::optional<QString>&) { answeredOn = std::this_thread::get_id(); });
    QSignalSpy answers(&search, &BackgroundEntrySearch::finished);

    ASSERT_TRUE(search.start());  // returns while the search is held: it runs elsewhere
    EXPECT_TRUE(search.running());
    EXPECT_FALSE(search.start()) << "a second search while the first runs";
    EXPECT_FALSE(search.lastResult().has_value());
    held.release();
    ASSERT_TRUE(answers.wait(5000));
    EXPECT_EQ(answers.size(), 1);
    EXPECT_EQ(answers.front().front().value<std::optional<QString>>(), QStringLiteral("song.mid"));
    EXPECT_EQ(answeredOn, std::this_thread::get_id());
    EXPECT_NE(held.thread.load(), std::this_thread::get_id());
    EXPECT_EQ(held.runs, 1);
    EXPECT_EQ(search.lastResult(), QStringLiteral("song.mid"));
    EXPECT_FALSE(search.running());

    ASSERT_TRUE(search.start());  // free again once the answer is in
    held.release();
    ASSERT_TRUE(answers.wait(5000));
    EXPECT_EQ(held.runs, 2);
}

TEST_F(BackgroundSearch, DestroyedWhileSearchingDropsTheAnswer)
{
    HeldSearch held;
    int answers = 0;
    std::thread releaser;
    {
        BackgroundEntrySearch search(held.search(std::nullopt));
        QObject::connect(&search, &BackgroundEntrySearch::finished, [&] { ++answers; });
        ASSERT_TRUE(search.start());
        releaser = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            held.release();
        });
    }  // waits for the search
    releaser.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(answers, 0);
}

}  // namespace
}  // namespace brennick
