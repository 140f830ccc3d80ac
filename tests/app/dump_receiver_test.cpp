// Receiving a dump into a file: which messages are kept, the file only in place at the end (the
// old one untouched otherwise), the silence that ends a dump, and what the end says.
#include "app/dump_receiver.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "tests/support/case_names.h"
#include "tests/support/player_process.h"

using namespace brennick;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

const Bytes kOld{0xF0, 0x3E, 0x13, 0x00, 0xF7};
const Bytes kOurs1{0xF0, 0x3E, 0x13, 0x01, 0x02, 0xF7};
const Bytes kOurs2{0xF0, 0x3E, 0x02, 0x7F, 0xF7};
const Bytes kOtherMaker{0xF0, 0x41, 0x10, 0xF7};
const Bytes kEmpty{0xF0, 0xF7};

struct Case {
    const char* name;
    std::vector<Bytes> messages;
    bool finished;  // false: the receiver is dropped before its end, as by a crash
    Bytes file;     // what is at the path afterwards
    std::uint64_t kept, otherMakers;
};

const Case kCases[] = {
    {"ours kept in order, others counted", {kOurs1, kOtherMaker, kOurs2, kEmpty}, true,
     [] { Bytes b = kOurs1; b.insert(b.end(), kOurs2.begin(), kOurs2.end()); return b; }(), 2, 2},
    {"nothing of ours: old file stays", {kOtherMaker}, true, kOld, 0, 1},
    {"dropped before the end: old file stays", {kOurs1}, false, kOld, 1, 0},
};

class DumpReceiverCases : public testing::TestWithParam<Case> {};

TEST_P(DumpReceiverCases, KeepsBrennickMessagesAndReplacesTheFileOnlyAtTheEnd)
{
    const Case& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dump.syx"));
    test::writeFile(path.toStdString(), kOld);
    {
        DumpReceiver receiver(path);
        ASSERT_TRUE(receiver.ok());
        for (const Bytes& m : c.messages)
            receiver.take(m, "Lumen:out");
        EXPECT_EQ(test::readFile(path.toStdString()), kOld);
        EXPECT_EQ(receiver.progress().messages, c.kept);
        if (c.finished) {
            const DumpOutcome outcome = receiver.finish();
            EXPECT_EQ(outcome.saved, c.kept > 0);
            EXPECT_EQ(outcome.otherMakers, c.otherMakers);
            receiver.take(kOurs2, "Lumen:out");  // after the end: not kept
        }
    }
    EXPECT_EQ(test::readFile(path.toStdString()), c.file);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("dump.syx")});
}

INSTANTIATE_TEST_SUITE_P(Messages, DumpReceiverCases, testing::ValuesIn(kCases), brennick::test::CaseName());

TEST(DumpReceiver, EndsAfterTheSilenceFollowingAKeptMessageOrWhenTheFileCannotBeWritten)
{
    QTemporaryDir dir;
    DumpReceiver receiver(dir.filePath(QStringLiteral("dump.syx")), 3.0);
    const auto later = [](seconds s) { return steady_clock::now() + s; };
    receiver.take(kOtherMaker, "Lumen:out");
    EXPECT_FALSE(receiver.shouldEnd(later(seconds(60))));  // nothing kept yet: waits on
    receiver.take(kOurs1, "Lumen:out");
    EXPECT_FALSE(receiver.shouldEnd(later(seconds(2))));
    EXPECT_TRUE(receiver.shouldEnd(later(seconds(4))));

    DumpReceiver nowhere(dir.filePath(QStringLiteral("missing/dump.syx")));
    EXPECT_FALSE(nowhere.ok());
    EXPECT_TRUE(nowhere.shouldEnd());
    EXPECT_EQ(dumpOutcomeText(nowhere.finish(), QStringLiteral("missing/dump.syx")),
              QStringLiteral("Cannot save missing/dump.syx: No such file or directory"));
}

// A backend that lists three sources and has one listener left, as JACK with its input ports taken.
class OneListenerLeft final : public MidiBackend {
    struct Source final : MidiSource {
        explicit Source(const std::string& name) : MidiSource(name, name, {}) {}
    };
    struct Listener final : InputListener {
        void stop() override {}
        InputCounts counts() const override { return {}; }
    };

public:
    const char* name() const override { return "one listener left"; }
    bool alive() const override { return true; }
    std::vector<DestinationHandle> destinations() override { return {}; }
    std::vector<SourceHandle> sources() override
    {
        return {std::make_shared<Source>("Lumen:out"), std::make_shared<Source>("Carrow:out"),
                std::make_shared<Source>("Tessel:out")};
    }
    std::unique_ptr<InputListener> listen(const SourceHandle&, SysExHandler) override
    {
        return left_-- > 0 ? std::make_unique<Listener>() : nullptr;
    }
    std::unique_ptr<PlaybackStream> play(std::unique_ptr<StreamCursor>, const DestinationHandle&, StreamStart) override
    {
        return nullptr;
    }
    void close(double) override {}

private:
    int left_ = 1;
};

TEST(DumpReceiver, NamesTheChosenSourcesItCannotListenTo)
{
    QTemporaryDir dir;
    DumpReceiver receiver(dir.filePath(QStringLiteral("dump.syx")));
    OneListenerLeft backend;
    const DumpReceiver::Listening listening = receiver.listen(backend, QStringLiteral(":out"));
    EXPECT_EQ(listening.sources, std::vector<std::string>{"Lumen:out"});
    EXPECT_EQ(listening.missed, (std::vector<std::string>{"Carrow:out", "Tessel:out"}));
    receiver.finish();
}

TEST(DumpReceiver, SaysWhatWasSavedDroppedAndIgnored)
{
    DumpOutcome saved;
    saved.saved = true;
    saved.kept = {12, 4200, "Lumen:out"};
    EXPECT_EQ(dumpOutcomeText(saved, QStringLiteral("a.syx")), QStringLiteral("Saved 12 messages, 4.2 kB to a.syx"));
    saved.kept = {1, 999, "Lumen:out"};
    saved.cutShort = 1;
    saved.otherMakers = 2;
    saved.otherMessages = 1;
    EXPECT_EQ(dumpOutcomeText(saved, QStringLiteral("a.syx")),
              QStringLiteral("Saved 1 message, 999 bytes to a.syx; dropped 1 message cut short; ignored 2 SysEx "
                             "messages of other makers and 1 other MIDI message"));
    saved.kept = {900, 1'999'999, "Lumen:out"};
    saved.cutShort = saved.otherMakers = saved.otherMessages = 0;
    EXPECT_EQ(dumpOutcomeText(saved, QStringLiteral("a.syx")), QStringLiteral("Saved 900 messages, 2.0 MB to a.syx"));
    EXPECT_EQ(dumpOutcomeText(DumpOutcome{}, QStringLiteral("a.syx")),
              QStringLiteral("Nothing received: a.syx not written"));

    EXPECT_EQ(dumpProgressText({}, {"Lumen:out", "Carrow:out"}),
              QStringLiteral("Receiving from 2 sources: 0 messages, 0 bytes"));
    EXPECT_EQ(dumpProgressText({3, 1200, "Carrow:out"}, {"Lumen:out", "Carrow:out"}),
              QStringLiteral("Receiving from Carrow:out: 3 messages, 1200 bytes"));
}

}  // namespace
