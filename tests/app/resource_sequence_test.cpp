// The resource sequence: which entries of the resource directory are found, what is played, and
// how the launch and the 2-second poll show and hide its menu item.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTest>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "tests/app/private_tree_main.h"
#include "tests/support/jack_environment.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"
#include "ui/menu_item.h"
#include "ui/midi_view.h"
#include "ui/midi_window.h"
#include "ui/player_menu.h"

using namespace brennick;
using brennick::test::jackServer;
using brennick::test::JackSink;
using brennick::test::privateResourceDirectory;
namespace fs = std::filesystem;

namespace {

JACK_SERVER_FOR_ALL_TESTS;

fs::path resources()
{
    return privateResourceDirectory();
}

// A short file whose only note is `key`, so the sink tells which file was played.
void writeSequence(const fs::path& path, int key)
{
    fs::create_directories(path.parent_path());
    brennick::test::SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, key, 100).delta(24).noteOff(0, key).delta(0).endOfTrack();
    const auto bytes = b.bytes();
    brennick::test::writeFile(path.string(), bytes);
}

bool receivedNote(const JackSink& sink, int key)
{
    for (const auto& e : sink.events())
        if (e.bytes.size() == 3 && (e.bytes[0] & 0xF0) == 0x90 && e.bytes[1] == key)
            return true;
    return false;
}

void resetResourceDirectory()
{
    std::error_code ignored;
    fs::remove_all(resources(), ignored);
    fs::create_directories(resources());
}

struct SearchCase {
    const char* name;
    std::function<void()> layout;
    bool found;
    int key;               // the note of the file that must play; -1: nothing audible
    const char* fileName;  // the status text names it when found
};

const SearchCase kSearchCases[] = {
    {"Empty", [] {}, false, -1, ""},
    {"TopLevelMid", [] { writeSequence(resources() / "song.mid", 61); }, true, 61, "song.mid"},
    {"TopLevelMidi", [] { writeSequence(resources() / "song.midi", 62); }, true, 62, "song.midi"},
    {"Subdirectory", [] { writeSequence(resources() / "a" / "b" / "deep.mid", 63); }, true, 63, "deep.mid"},
    {"UpperCaseExtensions",
     [] {
         writeSequence(resources() / "SONG.MID", 64);
         writeSequence(resources() / "song.MIDI", 64);
         writeSequence(resources() / "song.Mid", 64);
     },
     false, -1, ""},
    {"NearMisses",
     [] {
         writeSequence(resources() / "song.mid.bak", 65);
         writeSequence(resources() / "song.midx", 65);
         writeSequence(resources() / "mid", 65);
         writeSequence(resources() / "songmid", 65);
         fs::create_directories(resources() / "y.mi");
     },
     false, -1, ""},
    {"DirectoryNamedLikeASequence", [] { fs::create_directories(resources() / "x.mid"); }, true, -1, "x.mid"},
    {"SymlinkLoops",
     [] {
         fs::create_directories(resources() / "sub");
         fs::create_directory_symlink(".", resources() / "self");
         fs::create_directory_symlink("..", resources() / "sub" / "up");
     },
     false, -1, ""},
    {"SymlinkLoopsBesideASequence",
     [] {
         fs::create_directories(resources() / "sub");
         fs::create_directory_symlink(".", resources() / "self");
         fs::create_directory_symlink("..", resources() / "sub" / "up");
         writeSequence(resources() / "sub" / "deep" / "tune.mid", 66);
     },
     true, 66, "tune.mid"},
    {"OtherResourcesOnly",
     [] {
         brennick::test::writeFile((resources() / "Knob.icns").string(), {'i', 'c', 'n', 's'});
         brennick::test::writeFile((resources() / "BrennickMIDIPlayerSetting.xml").string(), {'<', '?'});
     },
     false, -1, ""},
    {"MissingResourceDirectory", [] { fs::remove_all(resources()); }, false, -1, ""},
};

class ResourceSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(ResourceSearch, FindsShowsAndPlaysThroughTheController)
{
    ASSERT_TRUE(jackServer() != nullptr && jackServer()->running());
    const SearchCase& c = GetParam();
    resetResourceDirectory();
    c.layout();

    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    AppDelegate delegate;
    MIDIView view(QRectF(0, 0, 450, 450));
    MenuItem item(QStringLiteral("Play Resource Sequence"));
    delegate.setView(&view);
    delegate.setOpenResourceFile(&item);

    item.setHidden(c.found);  // the check must set the item either way
    EXPECT_EQ(delegate.checkIfFileIsInResource(), c.found ? 1 : 0);
    EXPECT_EQ(item.isHidden(), !c.found);

    delegate.doOpenResourceFile(&item);
    EXPECT_EQ(item.isHidden(), !c.found) << "playing leaves the item alone";
    if (!c.found) {
        EXPECT_EQ(delegate.mainTimer(), nullptr) << "nothing found, nothing played";
        EXPECT_TRUE(view.infoText().isEmpty());
        return;
    }
    // A folder named like a sequence is found, but cannot play, and says so.
    const QString status =
        c.key >= 0 ? QStringLiteral("Sending %1 to Carrow:midi_in ").arg(QString::fromUtf8(c.fileName))
                   : QStringLiteral("Cannot play %1: not a regular file").arg(QString::fromUtf8(c.fileName));
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.infoText() == status; }, 5000)) << view.infoText().toStdString();
    if (c.key >= 0) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return sink.count() >= 1; }, 5000));
        EXPECT_TRUE(receivedNote(sink, c.key));
    }
    delegate.playMidiFile(nullptr);  // stop
}

INSTANTIATE_TEST_SUITE_P(Layouts, ResourceSearch, ::testing::ValuesIn(kSearchCases),
                         [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

// The launch sequence with the real interface definition.
class ResourceLaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(jackServer() != nullptr && jackServer()->running());
        resetResourceDirectory();
    }

    void launch()
    {
        ui_ = loadMainInterface(QString::fromStdString(resources().string()));
        ui_.window->show();
        ui_.delegate->applicationWillFinishLaunching();
        ui_.delegate->applicationDidFinishLaunching();
    }

    MainInterface ui_;
};

constexpr int kPollDeadlineMs = 3000;  // one 2-second period and a margin

TEST_F(ResourceLaunch, WithoutSequencePollShowsAndHidesTheItemAndTheItemPlays)
{
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    launch();
    AppDelegate& delegate = *ui_.delegate;
    ASSERT_NE(delegate.fileTimer(), nullptr);
    EXPECT_EQ(delegate.fileTimer()->interval(), 2000);
    EXPECT_TRUE(delegate.fileTimer()->isActive());
    EXPECT_TRUE(ui_.menu.openResourceFile->isHidden());
    EXPECT_EQ(delegate.mainTimer(), nullptr);

    writeSequence(resources() / "added" / "later.mid", 67);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ui_.menu.openResourceFile->isHidden(); }, kPollDeadlineMs));
    // The poll only offers the file.
    EXPECT_EQ(delegate.mainTimer(), nullptr);
    EXPECT_EQ(sink.count(), 0u);

    ui_.menu.openResourceFile->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sink.count() >= 1; }, 5000));
    EXPECT_TRUE(receivedNote(sink, 67));

    fs::remove_all(resources() / "added");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui_.menu.openResourceFile->isHidden(); }, kPollDeadlineMs));
}

TEST_F(ResourceLaunch, ThePollsWalkAnswersThroughTheEventLoopNotInsideTheTick)
{
    launch();
    AppDelegate& delegate = *ui_.delegate;
    ASSERT_TRUE(delegate.fileTimer() && delegate.fileTimer()->isActive());
    writeSequence(resources() / "late.mid", 69);
    EXPECT_EQ(delegate.checkIfFileIsInResource(), 0) << "walked on the window's thread";
    EXPECT_TRUE(ui_.menu.openResourceFile->isHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ui_.menu.openResourceFile->isHidden(); }, kPollDeadlineMs));
    EXPECT_EQ(delegate.checkIfFileIsInResource(), 1);  // the latest answer
}

TEST_F(ResourceLaunch, SequencePresentAtLaunchPlaysWithTheItemHiddenAndNoPoll)
{
    JackSink sink("Carrow");
    ASSERT_TRUE(sink.ok());
    writeSequence(resources() / "boot.mid", 68);
    launch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sink.count() >= 1; }, 5000));
    EXPECT_TRUE(receivedNote(sink, 68));
    EXPECT_TRUE(ui_.menu.openResourceFile->isHidden());
    EXPECT_EQ(ui_.delegate->fileTimer(), nullptr);
    // Settings were loaded (and created) before the search, and are not taken for a sequence.
    EXPECT_TRUE(fs::exists(resources() / "BrennickMIDIPlayerSetting.xml"));
}

}  // namespace

int main(int argc, char** argv)
{
    return brennick::test::runInPrivateTree(argc, argv);
}
