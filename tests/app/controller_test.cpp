// The controller against a private JACK server: launch, routing by model, replacing playback, the
// end of playback, files it cannot play, several files in turn, Repeat, the recent files, pause, seek,
// tempo and panic. (The no-device path is in the no-device alert suite.)
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "app/model_table.h"
#include "app/playback_state.h"
#include "platform/media_controls.h"
#include "platform/notification_center.h"
#include "tests/app/private_tree_main.h"
#include "tests/support/captured_stderr.h"
#include "tests/app/private_tree_main.h"
#include "tests/support/jack_test_server.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"
#include "ui/midi_window.h"

using namespace brennick;
using brennick::test::JackSink;
using brennick::test::JackTestServer;
using brennick::test::SmfBuilder;
using Bytes = std::vector<std::uint8_t>;

namespace {

JackTestServer* server = nullptr;

QString writeTemp(const Bytes& bytes, const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / ("brennick-controller-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return QString::fromStdString(path.string());
}

// A file whose first SysEx names `model` and which plays `beats` beats of one note, `key`.
Bytes fileFor(std::uint8_t model, int beats = 8, int key = 60)
{
    SmfBuilder b(0, 96);
    b.track()
        .delta(0)
        .sysex({0x3E, model, 0x00, 0xF7})
        .delta(0)
        .noteOn(0, key, 100)
        .delta(std::uint64_t(96 * beats))
        .noteOff(0, key)
        .delta(0)
        .endOfTrack();
    return b.bytes();
}

// The keys of the notes `sink` received, in order.
std::vector<int> keysPlayed(const JackSink& sink)
{
    std::vector<int> keys;
    for (const auto& e : sink.events())
        if (e.bytes.size() == 3 && (e.bytes[0] & 0xF0) == 0x90)
            keys.push_back(e.bytes[1]);
    return keys;
}

// One JACK period of the test server, the most a list may leave between two files.
constexpr std::int64_t kPeriodFrames = 256;

// Frames from `sink`'s first note-off of `endingKey` (from its event `from` on) to its first note-on
// of `startingKey` at or after it: the silence between the song that ends with the one and the song
// that begins with the other.
std::int64_t gapFrames(const JackSink& sink, std::size_t from, int endingKey, int startingKey)
{
    std::optional<std::int64_t> end;
    const auto events = sink.events();
    for (std::size_t i = from; i < events.size(); ++i) {
        const auto& e = events[i];
        if (e.bytes.size() != 3)
            continue;
        if (!end && e.bytes[0] == 0x80 && e.bytes[1] == endingKey)
            end = std::int64_t(e.frame);
        if (end && e.bytes[0] == 0x90 && e.bytes[1] == startingKey && std::int64_t(e.frame) >= *end)
            return std::int64_t(e.frame) - *end;
    }
    return -1;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

class Controller : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server != nullptr && server->running());
        // Each test starts with the options off and no recent files.
        std::filesystem::remove(brennick::test::privateResourceDirectory() + "/BrennickMIDIPlayerSetting.xml");
        ui = loadMainInterface(QString());
    }
    void TearDown() override
    {
        MusicPlayerStop(player);
        ui = MainInterface();
    }
    AppDelegate& delegate() { return *ui.delegate; }
    MainInterface ui;
};

}  // namespace

TEST_F(Controller, LaunchWithoutResourceSequenceStartsThePollAndHidesTheItem)
{
    ui.view->setIndicatorValue(0.7);
    delegate().applicationWillFinishLaunching();
    EXPECT_TRUE(delegate().handlesGetURLEvents());
    delegate().applicationDidFinishLaunching();
    EXPECT_EQ(ui.view->indicatorValue(), 0.0);
    ASSERT_NE(delegate().fileTimer(), nullptr);
    EXPECT_EQ(delegate().fileTimer()->interval(), 2000);
    EXPECT_TRUE(delegate().fileTimer()->isActive());
    EXPECT_TRUE(ui.menu.openResourceFile->isHidden());
    EXPECT_EQ(delegate().mainTimer(), nullptr);
}

TEST_F(Controller, RoutesByModelNameSubstringInDestinationOrder)
{
    JackSink lumen2("synth-a", "in", std::string("Lumen 2 Port"));
    JackSink lumen("synth-b", "in", std::string("Lumen Port"));
    JackSink carrow("synth-c", "in", std::string("Carrow"));
    const QString path = writeTemp(fileFor(0x00), "song.mid");  // model 0: Lumen

    EXPECT_EQ(delegate().playTheMIDIFile(path, delegate().checkSysexDestination(path)), 3);
    EXPECT_EQ(ui.view->infoText(), "Sending song.mid to Lumen 2 Port ");
    ASSERT_TRUE(waitUntil([&] { return lumen2.count() >= 2; }, 5000));  // F0 3E 00 00 F7, then the note
    EXPECT_EQ(lumen.count(), 0u);
    EXPECT_EQ(carrow.count(), 0u);
    EXPECT_EQ(Player, player);
    EXPECT_DOUBLE_EQ(SeqLen, 8.0);
    EXPECT_EQ(playerStarted, 1);
}

// The model table through its use: among ports named after every model, in table order (so that
// "Lumen" is listed before "Lumen 2 Port" can take it), a file naming a model goes to its port.
TEST_F(Controller, EachModelsFileGoesToThePortOfItsName)
{
    std::vector<std::unique_ptr<JackSink>> sinks(kBrennickDeviceCount);
    for (int row = 0; row < kBrennickDeviceCount; ++row)
        if (*brennickDevices[row] != '\0')
            sinks[std::size_t(row)] = std::make_unique<JackSink>("synth-" + std::to_string(row), "in",
                                                                 std::string(brennickDevices[row]) + " Port");
    for (int row = 0; row < kBrennickDeviceCount; ++row) {
        if (sinks[std::size_t(row)] == nullptr)
            continue;
        const QString path = writeTemp(fileFor(std::uint8_t(row)), "model.mid");
        delegate().playMidiFile(&path);
        EXPECT_TRUE(waitUntil([&] { return sinks[std::size_t(row)]->count() >= 1; }, 5000))
            << brennickDevices[row] << ": " << ui.view->infoText().toStdString();
    }
    for (int row = 0; row < kBrennickDeviceCount; ++row) {
        if (sinks[std::size_t(row)] == nullptr)
            continue;
        std::vector<Bytes> sysex;
        for (const auto& e : sinks[std::size_t(row)]->events())
            if (e.bytes.front() == 0xF0)
                sysex.push_back(e.bytes);
        EXPECT_EQ(sysex, (std::vector<Bytes>{{0xF0, 0x3E, std::uint8_t(row), 0x00, 0xF7}})) << brennickDevices[row];
    }
}

TEST_F(Controller, MatchingIsCaseSensitiveAndNoMatchUsesTheFirstDestination)
{
    JackSink first("synth-x", "in", std::string("Other Synth"));
    JackSink lower("synth-y", "in", std::string("carrow"));
    const QString path = writeTemp(fileFor(0x13), "carrow.mid");  // model 0x13: Carrow
    EXPECT_EQ(delegate().checkSysexDestination(path), "Carrow");
    EXPECT_EQ(delegate().playTheMIDIFile(path, "Carrow"), 2);
    EXPECT_EQ(ui.view->infoText(), "Sending carrow.mid to Other Synth ");
    ASSERT_TRUE(waitUntil([&] { return first.count() >= 2; }, 5000));
    EXPECT_EQ(lower.count(), 0u);

    // The empty model name (unknown model) matches nothing either.
    EXPECT_EQ(delegate().playTheMIDIFile(path, ""), 2);
    EXPECT_EQ(ui.view->infoText(), "Sending carrow.mid to Other Synth ");
}

// What the devices answered ranks after a pick and a name, and is asked for only when neither finds
// the model's destination.
TEST(DestinationChoiceByAnswer, RanksAfterPickAndNameAndIsAskedForOnlyThen)
{
    using Reason = DestinationChoice::Reason;
    using Names = QList<std::optional<QString>>;
    struct Case {
        const char* what;
        QString model;
        Names names, answers;
        std::optional<QString> picked;
        qsizetype index;
        Reason reason;
        bool ask;  // before the answers are in
    };
    const Names interfaces{"USB MIDI Interface", "MIDI Adapter"};
    const Case cases[] = {
        {"answer", "Carrow", interfaces, {std::nullopt, "Carrow"}, std::nullopt, 1, Reason::AnsweredAs, true},
        {"name wins", "Carrow", {"MIDI Adapter", "Carrow"}, {"Carrow", std::nullopt}, std::nullopt, 1, Reason::ModelName, false},
        {"pick wins", "Carrow", interfaces, {"Carrow", std::nullopt}, "MIDI Adapter", 1, Reason::Picked, false},
        {"other model", "Carrow", interfaces, {"Tessel", std::nullopt}, std::nullopt, 0, Reason::FirstDestination, true},
        {"no model", "", interfaces, {"", ""}, std::nullopt, 0, Reason::FirstDestination, false},
    };
    for (const Case& c : cases) {
        const DestinationChoice choice = chooseDestination(c.model, c.names, c.picked, c.answers);
        EXPECT_EQ(choice.index, c.index) << c.what;
        EXPECT_EQ(choice.reason, c.reason) << c.what;
        DestinationListing listing{true, false, {}};
        for (const auto& name : c.names)
            listing.destinations.append({1, name, std::nullopt});
        EXPECT_EQ(needsDeviceInquiry(c.model, listing, c.picked), c.ask) << c.what;
        listing.devicesAsked = true;
        EXPECT_FALSE(needsDeviceInquiry(c.model, listing, c.picked)) << c.what;
    }

    // A later listing made without asking keeps the answers while the destinations are the same.
    const auto listingOf = [](QList<MIDIEndpointRef> refs, bool asked) {
        DestinationListing listing{true, asked, {}};
        for (const MIDIEndpointRef ref : refs)
            listing.destinations.append({ref, "Interface", asked ? std::optional<QString>("Carrow") : std::nullopt});
        return listing;
    };
    const DestinationListing asked = listingOf({1, 2}, true);
    for (const auto& [refs, kept] : {std::pair{QList<MIDIEndpointRef>{1, 2}, true}, {{2, 1}, false}, {{1, 2, 3}, false}}) {
        DestinationListing fresh = listingOf(refs, false);
        keepAnswers(fresh, asked);
        EXPECT_EQ(fresh.answeredModels().first().has_value(), kept) << refs.size();
    }
}

TEST_F(Controller, SecondRequestStopsTheFirstAndReplacesItsState)
{
    JackSink carrow("synth-c", "in", std::string("Carrow"));
    JackSink lumen("synth-l", "in", std::string("Lumen"));
    const QString first = writeTemp(fileFor(0x13, 16), "first.mid");
    const QString second = writeTemp(fileFor(0x00, 4), "second.mid");

    delegate().playMidiFile(&first);
    ASSERT_TRUE(waitUntil([&] { return carrow.count() >= 2; }, 5000));
    const MusicPlayer firstPlayer = Player;
    ASSERT_NE(delegate().mainTimer(), nullptr);

    delegate().playMidiFile(&second);
    // The first player was stopped: its sounding note got its note-off.
    ASSERT_TRUE(waitUntil([&] { return carrow.count() >= 3; }, 2000));
    EXPECT_EQ(carrow.events()[2].bytes, (Bytes{0x80, 60, 0x40}));
    ASSERT_TRUE(waitUntil([&] { return lumen.count() >= 2; }, 5000));
    EXPECT_EQ(ui.view->infoText(), "Sending second.mid to Lumen ");
    EXPECT_NE(Player, firstPlayer);
    EXPECT_DOUBLE_EQ(SeqLen, 4.0);
    EXPECT_NE(delegate().mainTimer(), nullptr);

    // A nil request stops the player and the timer, and leaves the text.
    delegate().playMidiFile(nullptr);
    EXPECT_EQ(delegate().mainTimer(), nullptr);
    EXPECT_EQ(ui.view->indicatorValue(), 0.0);
    EXPECT_EQ(ui.view->infoText(), "Sending second.mid to Lumen ");
}

TEST_F(Controller, EndOfPlaybackStopsTrackingAndClearsTheText)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(48).noteOff(0, 60).delta(0).endOfTrack();  // half a beat
    const QString path = writeTemp(b.bytes(), "short.mid");
    delegate().playMidiFile(&path);
    ASSERT_NE(delegate().mainTimer(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return !ui.view->infoText().isEmpty(); }, 5000));
    double largest = 0.0;
    ASSERT_TRUE(waitUntil(
        [&] {
            largest = std::max(largest, ui.view->indicatorValue());
            return delegate().mainTimer() == nullptr;
        },
        5000));
    EXPECT_GT(largest, 0.0);  // the arc followed the playback
    EXPECT_EQ(playerStarted, 0);
    EXPECT_EQ(ui.view->infoText(), "");
    EXPECT_EQ(ui.view->indicatorValue(), 0.0);
    MusicTimeStamp position = 0;
    EXPECT_EQ(MusicPlayerGetTime(Player, &position), 0);
    EXPECT_GT(position, SeqLen);  // the player itself is not stopped at the end
}

TEST_F(Controller, FileWithoutTracksEndsAtTheFirstTick)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    SmfBuilder b(1, 96);  // a header and no tracks
    const QString path = writeTemp(b.bytes(), "empty.mid");
    EXPECT_EQ(delegate().playTheMIDIFile(path, ""), 1);
    EXPECT_EQ(SeqLen, 0.0);
    delegate().playMidiFile(&path);
    ASSERT_TRUE(waitUntil([&] { return delegate().mainTimer() == nullptr; }, 2000));
    EXPECT_EQ(playerStarted, 0);
}

// A file that cannot be played says why, where "Sending" would claim it plays; nothing is sent.
TEST_F(Controller, UnplayableFilesSayWhyAndSendNothing)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    const Bytes song = fileFor(0x13);
    const struct {
        QString path;
        QString text;
    } cases[] = {
        {writeTemp(Bytes{'h', 'e', 'l', 'l', 'o'}, "notes.txt"), "Cannot play notes.txt: not a MIDI file"},
        {writeTemp(Bytes{'h', 'e', 'l', 'l', 'o'}, "dump.syx"), "Cannot play dump.syx: not a SysEx file"},
        {writeTemp(Bytes{}, "empty.syx"), "Cannot play empty.syx: empty file"},
        {QStringLiteral("/nonexistent/gone.mid"), "Cannot play gone.mid: no such file"},
        {QString::fromStdString(std::filesystem::temp_directory_path().string()),
         "Cannot play tmp: not a regular file"},
        // Damaged before anything whole: playing would send nothing and end as if it had played.
        {writeTemp(Bytes(song.begin(), song.begin() + 26), "cut.mid"),
         "Cannot play cut.mid: damaged at byte 26, and nothing before it can be played"},
        {writeTemp(Bytes{0xF0, 0x3E, 0x13, 0x00, 0x01}, "cut.syx"), "Cannot play cut.syx: no whole SysEx message"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(delegate().applicationOpenFile(&c.path));
        EXPECT_TRUE(waitUntil([&] { return ui.view->infoText() == c.text; }, 5000))
            << ui.view->infoText().toStdString();
        EXPECT_EQ(delegate().mainTimer(), nullptr);
    }
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_FALSE(delegate().applicationOpenFile(nullptr));
}

// A URL that names no local file, as a file manager hands over for sftp:// or smb://, says so
// where every failure does.
TEST_F(Controller, URLsOfNoLocalFileSayTheyCannotBePlayed)
{
    for (const QString url :
         {"sftp://host/music/song.mid", "smb://server/share/a b.mid", "file://server/s.mid", "brennick://something"}) {
        brennick::test::CapturedStandardError captured;
        delegate().handleGetURLEvent(url);
        const QString line = "Cannot play " + url + ": not a local file";
        EXPECT_EQ(ui.view->infoText(), line);
        EXPECT_NE(captured.text().find((line + "\n").toStdString()), std::string::npos) << captured.text();
        EXPECT_EQ(delegate().mainTimer(), nullptr);
    }
}

// Stop and Play Again are offered only with something to act on; Stop with nothing to stop does// Pause holds the arc and says so; resume gives the synth its state again; a tempo change is kept
// for that file's contents; a panic ends playback with resets, and is no request to quit.
TEST_F(Controller, PauseResumeTempoAndPanic)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    SmfBuilder b(0, 96);
    auto& t = b.track();
    t.delta(0).sysex({0x3E, 0x13, 0xF7}).delta(0).programChange(0, 7);
    for (int i = 0; i < 64; ++i)
        t.delta(i == 0 ? 0 : 24).noteOn(0, 60, 100).delta(24).noteOff(0, 60);
    t.delta(0).endOfTrack();
    const QString path = writeTemp(b.bytes(), "long.mid");
    const QString other = writeTemp(fileFor(0x13, 64), "other.mid");
    const auto received = [&sink](std::uint8_t status) {
        const auto events = sink.events();
        return std::count_if(events.begin(), events.end(), [status](const auto& e) { return e.bytes.front() == status; });
    };
    delegate().playMidiFile(&path);
    ASSERT_TRUE(waitUntil([&] { return received(0x90) >= 2; }, 5000));

    delegate().doPause();
    EXPECT_EQ(ui.view->infoText(), "Paused: long.mid");
    EXPECT_EQ(ui.menu.pause->text(), "Res&ume");
    const double held = ui.view->indicatorValue();
    QTest::qWait(200);
    EXPECT_EQ(ui.view->indicatorValue(), held);
    EXPECT_EQ(received(0x90), received(0x80));  // nothing left sounding
    delegate().doResume();
    EXPECT_EQ(ui.view->infoText(), "Sending long.mid to Carrow ");
    EXPECT_TRUE(waitUntil([&] { return received(0xC0) == 2; }, 2000));  // the program, chased

    delegate().stepTempo(-1);
    EXPECT_DOUBLE_EQ(delegate().tempo(), 0.9);
    delegate().playMidiFile(&other);
    ASSERT_TRUE(waitUntil([&] { return ui.view->infoText().startsWith("Sending other"); }, 5000));
    EXPECT_DOUBLE_EQ(delegate().tempo(), 1.0);
    delegate().playMidiFile(&path);
    ASSERT_TRUE(waitUntil([&] { return ui.view->infoText().startsWith("Sending long"); }, 5000));
    EXPECT_DOUBLE_EQ(delegate().tempo(), 0.9);

    ui.menu.autoQuit->setState(1);
    delegate().doPanic();
    ui.menu.autoQuit->setState(0);
    EXPECT_EQ(delegate().mainTimer(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return received(0xBF) == 2; }, 3000));  // the last channel's two resets
}


// nothing, not even quit with "Quit on stop" on.
TEST_F(Controller, StopAndPlayAgainAreOfferedOnlyWithSomethingToActOn)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    const auto offered = [this] { return std::pair{ui.menu.stop->isEnabled(), ui.menu.playAgain->isEnabled()}; };
    EXPECT_EQ(offered(), std::pair(false, false));
    ui.menu.autoQuit->setState(1);
    ui.view->setInfoText("Cannot play gone.mid: no such file");
    delegate().doStop();
    EXPECT_EQ(ui.view->infoText(), "Cannot play gone.mid: no such file");
    ui.menu.autoQuit->setState(0);

    const QString path = writeTemp(fileFor(0x13, 64), "long.mid");
    delegate().playMidiFile(&path);
    EXPECT_EQ(offered(), std::pair(true, false));  // Play Again plays the last file that played
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 2; }, 5000));
    EXPECT_EQ(offered(), std::pair(true, true));
    ui.menu.stop->trigger();
    EXPECT_EQ(offered(), std::pair(false, true));
}

TEST_F(Controller, ReceivingADumpShowsItsCountAndStopSavesItWithoutQuitting)
{
    brennick::test::JackSynth synth("Lumen");
    ui.menu.autoQuit->setState(1);
    const QString path = writeTemp({}, "received.syx");
    std::filesystem::remove(path.toStdString());
    const Bytes dump{0xF0, 0x3E, 0x13, 0x01, 0xF7, 0xF0, 0x3E, 0x13, 0x02, 0x03, 0xF7};
    delegate().receiveDump(path);
    EXPECT_TRUE(ui.menu.stop->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return ui.view->infoText().contains("Lumen:midi_out: 0 messages"); }, 10000))
        << ui.view->infoText().toStdString();
    synth.send(dump);
    ASSERT_TRUE(waitUntil([&] { return ui.view->infoText().endsWith("Lumen:midi_out: 2 messages, 11 bytes"); }, 5000))
        << ui.view->infoText().toStdString();
    EXPECT_EQ(ui.view->indicatorValue(), 1.0);
    ui.menu.stop->trigger();
    ASSERT_TRUE(waitUntil([&] { return ui.view->infoText().startsWith("Saved"); }, 5000));
    EXPECT_EQ(ui.view->infoText(), "Saved 2 messages, 11 bytes to " + path);
    EXPECT_FALSE(ui.menu.stop->isEnabled());
    EXPECT_EQ(brennick::test::readFile(path.toStdString()), dump);
}

// Where Next and Previous lead, and the counter the status line shows.
TEST(Playlist, NextAndPreviousLeadWithinTheListAndRepeatJoinsItsEnds)
{
    struct Case {
        qsizetype size, index;
        bool wraps;
        std::optional<qsizetype> next, previous;
        const char* counter;
    };
    const Case cases[] = {
        {0, 0, true, {}, {}, ""},      {1, 0, true, {}, {}, ""},       {3, 0, false, 1, {}, " (1/3)"},
        {3, 1, false, 2, 0, " (2/3)"}, {3, 2, false, {}, 1, " (3/3)"}, {3, 2, true, 0, 1, " (3/3)"},
        {3, 0, true, 1, 2, " (1/3)"},  {3, 7, true, 1, 2, " (1/3)"},  // out of range: stays at the first
    };
    for (const Case& c : cases) {
        Playlist list;
        QStringList paths;
        for (qsizetype i = 0; i < c.size; ++i)
            paths.append(QStringLiteral("/m/%1.mid").arg(i));
        list.replace(paths);
        list.moveTo(c.index);
        EXPECT_EQ(list.nextIndex(c.wraps), c.next) << c.size << " " << c.index;
        EXPECT_EQ(list.previousIndex(c.wraps), c.previous) << c.size << " " << c.index;
        EXPECT_EQ(list.counterText(), c.counter) << c.size << " " << c.index;
    }
}

// A drop and the open dialog play the first of several files alone, the command line the last;
// with "Play Several Files in Turn" on, each plays them all, in order, counting in the status line.
TEST_F(Controller, SeveralFilesPlayAloneOrInTurnAsTheOptionSays)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    const QStringList paths{writeTemp(fileFor(0x13, 1, 61), "a.mid"), writeTemp(fileFor(0x13, 1, 62), "b.mid"),
                            writeTemp(fileFor(0x13, 1, 63), "c.mid")};
    const struct {
        bool inTurn;
        bool commandLine;
        std::vector<int> keys;
    } cases[] = {{false, false, {61}}, {false, true, {63}}, {true, false, {61, 62, 63}}, {true, true, {61, 62, 63}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.inTurn ? "in turn, " : "alone, ") + (c.commandLine ? "command line" : "drop"));
        delegate().setPlaysSeveralFilesInTurn(c.inTurn);
        const std::size_t before = sink.count();
        if (c.commandLine)
            delegate().applicationOpenFiles(paths);
        else
            NotificationCenter::defaultCenter().postNotificationName("PlayMIDIFile", paths);
        QStringList texts;
        ASSERT_TRUE(waitUntil(
            [&] {
                if (texts.value(texts.size() - 1) != ui.view->infoText())
                    texts.append(ui.view->infoText());
                return delegate().mainTimer() == nullptr;
            },
            10000));
        const std::vector<int> keys = keysPlayed(sink);
        EXPECT_EQ(std::vector<int>(keys.end() - long(c.keys.size()), keys.end()), c.keys);
        EXPECT_EQ(sink.count() - before, 3 * c.keys.size());
        EXPECT_EQ(texts.contains("Sending b.mid to Carrow  (2/3)"), c.inTurn) << texts.join('|').toStdString();
        if (c.inTurn) {
            // Each file begins on the frame the song before ends (after its note-off), within a period.
            for (const int key : {61, 62}) {
                EXPECT_GE(gapFrames(sink, before, key, key + 1), 0) << key;
                EXPECT_LE(gapFrames(sink, before, key, key + 1), kPeriodFrames) << key;
            }
        }
        EXPECT_EQ(ui.view->infoText(), "");  // the end of the list is the end of playback
    }
}

// Repeat starts a file played alone again from its start, from what was read (the file may go),
// and "Quit on stop" waits for a Stop. A list goes round, passing over what cannot be played, and
// ends when nothing in it can.
TEST_F(Controller, RepeatStartsAgainAndQuitOnStopWaitsForAStop)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    ui.menu.repeat->trigger();
    EXPECT_TRUE(delegate().repeats());
    ui.menu.autoQuit->setState(1);  // quitting would end this test program
    const QString alone = writeTemp(fileFor(0x13, 1, 64), "alone.mid");
    delegate().playMidiFile(&alone);
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 3; }, 5000));
    std::filesystem::remove(alone.toStdString());
    ASSERT_TRUE(waitUntil([&] { return sink.count() >= 9; }, 5000)) << "the file was not played again";
    const auto events = sink.events();
    EXPECT_EQ(events[3].bytes, events[0].bytes);
    // The player goes round itself: the start again comes with the end (the note-off), no gap.
    EXPECT_EQ(events[3].frame, events[2].frame);
    EXPECT_EQ(events[6].frame, events[5].frame);
    ui.menu.autoQuit->setState(0);
    // Switched off while it plays (the loop status "None"): the pass under way is the last.
    emit ui.mediaControls->loopStatusRequested(MediaControls::LoopStatus::None);
    ASSERT_TRUE(waitUntil([&] { return delegate().mainTimer() == nullptr; }, 5000));
    EXPECT_EQ(sink.count() % 3, 0u);
    delegate().setRepeats(true);

    delegate().setPlaysSeveralFilesInTurn(true);
    const QString first = writeTemp(fileFor(0x13, 1, 65), "first.mid"),
                  second = writeTemp(fileFor(0x13, 1, 66), "second.mid");
    const std::size_t before = keysPlayed(sink).size();
    delegate().applicationOpenFiles({first, "/nonexistent/gone.mid", second});
    EXPECT_TRUE(ui.menu.next->isEnabled() && ui.menu.previous->isEnabled());  // the ends meet
    ASSERT_TRUE(waitUntil([&] { return keysPlayed(sink).size() >= before + 4; }, 10000));
    const std::vector<int> keys = keysPlayed(sink);
    EXPECT_EQ(std::vector<int>(keys.begin() + long(before), keys.begin() + long(before) + 4),
              (std::vector<int>{65, 66, 65, 66}));
    // From the last file back to the first with no gap.
    EXPECT_GE(gapFrames(sink, 0, 66, 65), 0);
    EXPECT_LE(gapFrames(sink, 0, 66, 65), kPeriodFrames);

    // Previous from the media controls; Repeat off there too: the list ends after its last file.
    waitUntil([&] { return delegate().playlist().index() == 0; }, 5000);
    emit ui.mediaControls->previousRequested();
    EXPECT_EQ(delegate().playlist().current(), second);
    emit ui.mediaControls->loopStatusRequested(MediaControls::LoopStatus::None);
    EXPECT_EQ(ui.menu.repeat->state(), 0);
    EXPECT_FALSE(ui.menu.next->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return delegate().mainTimer() == nullptr; }, 5000));

    emit ui.mediaControls->loopStatusRequested(MediaControls::LoopStatus::Playlist);
    EXPECT_EQ(ui.menu.repeat->state(), 1);
    delegate().applicationOpenFiles({"/nonexistent/a.mid", "/nonexistent/b.mid"});
    ASSERT_TRUE(waitUntil([&] { return delegate().mainTimer() == nullptr; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(delegate().mainTimer(), nullptr) << "a list of files that cannot be played went round";
    EXPECT_EQ(ui.view->infoText(), "Cannot play b.mid: no such file");
}

// The next file is made ready to follow well before the end; a stop, Next, or Repeat switched off
// meanwhile takes it back before it sounds.
TEST_F(Controller, TheNextFileMadeReadySendsNothingWhenPlaybackChangesBeforeIt)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    delegate().setPlaysSeveralFilesInTurn(true);
    const QStringList paths{writeTemp(fileFor(0x13, 2, 70), "first.mid"), writeTemp(fileFor(0x13, 2, 71), "last.mid")};
    const struct {
        const char* name;
        bool repeat;
        int changeDuringKey;
        std::function<void()> change;
        std::vector<int> keys;
    } cases[] = {{"stop", false, 70, [&] { delegate().doStop(); }, {70}},
                 {"next", false, 70, [&] { delegate().doNext(); }, {70, 71}},
                 {"Repeat off at the last file", true, 71, [&] { delegate().setRepeats(false); }, {70, 71}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delegate().setRepeats(c.repeat);
        const std::size_t before = keysPlayed(sink).size();
        delegate().applicationOpenFiles(paths);
        ASSERT_TRUE(waitUntil([&] { return keysPlayed(sink).size() > before && keysPlayed(sink).back() == c.changeDuringKey; }, 5000));
        QTest::qWait(200);  // the next file is ready: its song is shorter than the time ahead it is made ready
        c.change();
        ASSERT_TRUE(waitUntil([&] { return delegate().mainTimer() == nullptr; }, 5000));
        QTest::qWait(1500);
        const std::vector<int> keys = keysPlayed(sink);
        EXPECT_EQ(std::vector<int>(keys.begin() + long(before), keys.end()), c.keys);
    }
}

// A dump saved as a MIDI file has its messages at tick 0: its song ends at once, while pacing sends
// them for a while yet. The next file waits for them rather than stopping them.
TEST_F(Controller, AListMovesOnOnceThePacedSysExHasLeft)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    SmfBuilder b(0, 96);
    Bytes message(3000, 0x11);
    message[0] = 0x3E;
    message[1] = 0x13;
    message.back() = 0xF7;
    auto& track = b.track();
    for (int i = 0; i < 5; ++i)
        track.delta(0).sysex(message);
    track.delta(0).endOfTrack();
    delegate().setPlaysSeveralFilesInTurn(true);
    delegate().applicationOpenFiles({writeTemp(b.bytes(), "dump.mid"), writeTemp(fileFor(0x13, 1, 67), "next.mid")});
    ASSERT_TRUE(waitUntil([&] { return !keysPlayed(sink).empty(); }, 10000));
    Bytes sysex;
    for (const auto& e : sink.events())
        if (e.bytes.size() != 3)
            sysex.insert(sysex.end(), e.bytes.begin(), e.bytes.end());
    EXPECT_EQ(sysex.size(), 5 * (message.size() + 1) + 5) << "five whole messages, then the next file's own";
    EXPECT_EQ(std::count(sysex.begin(), sysex.end(), 0xF7), 6);
}

// The last ten files that played, newest first, each once; picking one plays it alone.
TEST_F(Controller, RecentFilesOfferTheLastTenNewestFirst)
{
    JackSink sink("synth-c", "in", std::string("Carrow"));
    QStringList played;
    for (int i = 0; i < 12; ++i)
        played.append(
            writeTemp(fileFor(0x13, 64, 40 + i), "song " + std::to_string(i) + (i == 11 ? "&b.mid" : ".mid")));
    for (const QString& path : played + QStringList{played[3]})
        ASSERT_EQ(delegate().playTheMIDIFile(path, "Carrow"), 1);
    QMenu menu;
    delegate().fillRecentFilesMenu(&menu);
    QStringList texts;
    for (const QAction* item : menu.actions())
        texts.append(item->text());
    EXPECT_EQ(texts,
              (QStringList{"&1 song 3.mid", "&2 song 11&&b.mid", "&3 song 10.mid", "&4 song 9.mid", "&5 song 8.mid",
                           "&6 song 7.mid", "&7 song 6.mid", "&8 song 5.mid", "&9 song 4.mid", "&0 song 2.mid"}));
    EXPECT_EQ(menu.actions()[1]->toolTip(), played[11]);
    menu.actions()[2]->trigger();
    ASSERT_TRUE(waitUntil([&] { return !keysPlayed(sink).empty() && keysPlayed(sink).back() == 50; }, 5000));
    EXPECT_EQ(delegate().recentFiles().paths().first(), played[10]);
}

TEST_F(Controller, NotificationsWithOtherNamesAreIgnored)
{
    delegate().receiveNotification(Notification{QStringLiteral("SomethingElse"), QVariant(QStringLiteral("/x.mid"))});
    EXPECT_EQ(delegate().mainTimer(), nullptr);
}

// The server runs in the private tree's process, where the tests run.
class JackServerEnvironment : public ::testing::Environment {
    void SetUp() override { server = new JackTestServer(256, 48000); }
    void TearDown() override { delete server; }
};

int main(int argc, char** argv)
{
    if (!brennick::test::privateTreeRoot().empty())
        ::testing::AddGlobalTestEnvironment(new JackServerEnvironment);
    return brennick::test::runInPrivateTree(argc, argv);
}
