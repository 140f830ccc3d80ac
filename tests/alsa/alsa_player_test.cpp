// The real program on the ALSA sequencer, started as a user would (inside the virtual machine,
// where no JACK server runs): the file reaches the synth it names, whole and with the pause its
// model's settings ask for, and with "Quit on stop" on the program ends after the last event; a
// synth behind a plain interface is found by asking it; a dump a synth sends is received into a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <optional>

#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes joined(const std::vector<SeqEvent>& events)
{
    Bytes bytes;
    for (const SeqEvent& e : events)
        bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
    return bytes;
}

// A synth behind a USB MIDI interface: a client named after the interface, with a port to the synth
// and one from it. It answers a Device Inquiry as `familyCode`, or stays silent.
struct SynthBehindInterface {
    SynthBehindInterface(const std::string& interface, std::optional<std::uint16_t> familyCode)
        : sink(interface, interface + " MIDI 1")
    {
        out = sink.addPort(interface + " MIDI 1 Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        if (familyCode)
            sink.answerInquiriesFrom(out, *familyCode);
    }
    AlsaSink sink;
    int out = -1;
};

}  // namespace

// A raw SysEx file on the sequencer: to the synth its model byte names, every message whole, with
// the model's pause (from the settings) between them.
TEST(AlsaPlayer, SysExFileGoesToItsModelWholeWithItsPause)
{
    prepareGuest();
    AlsaSink lumen("Lumen", "Lumen Port");
    AlsaSink carrow("Carrow", "Carrow In");
    ASSERT_TRUE(lumen.ok() && carrow.ok());
    const Bytes dump = sysexDumpFile(0x13, 4, 0x20);
    PlayerProcess player;
    writeText(player.settingsPath(), settingsText("<key>Quit on stop</key><integer>1</integer><key>SysEx pause after "
                                                  "message</key><dict><key>Carrow</key><integer>40</integer></dict>"));
    const std::string file = player.root() + "/patches.syx";
    writeFile(file, dump);
    player.start({file});
    EXPECT_EQ(player.waitForExit(60.0), 1) << player.standardError();
    carrow.waitForQuiet(0.2, 2.0);
    std::vector<std::int64_t> starts;
    for (const auto& e : carrow.events())
        if (!e.bytes.empty() && e.bytes.front() == 0xF0)
            starts.push_back(e.ns);
    EXPECT_EQ(joined(carrow.events()), dump);
    ASSERT_EQ(starts.size(), 4u);
    for (std::size_t i = 1; i < starts.size(); ++i)  // 60 bytes at 60000 bytes/s, then 40 ms of pause
        EXPECT_NEAR(double(starts[i] - starts[i - 1]) / 1e9, 0.041, 0.015) << "message " << i;
    EXPECT_EQ(lumen.count(), 0u);
    std::printf("  player's standard error:\n%s\n", player.standardError().c_str());
}

// Behind plain interfaces the player asks the devices: a Carrow file goes to the one that answered
// as Carrow, not to the silent one nor to the one that answered as Tessel, and the next file goes
// there on the answers remembered: each device is asked once.
TEST(AlsaPlayer, FindsTheSynthBehindAnInterfaceByAskingItOnce)
{
    prepareGuest();
    SynthBehindInterface silent("USB MIDI Interface", std::nullopt);
    SynthBehindInterface tessel("MIDI Adapter", 0x02);
    SynthBehindInterface carrow("MIDI Cable", 0x13);
    for (const auto* synth : {&silent, &tessel, &carrow})
        ASSERT_TRUE(synth->sink.ok() && synth->out >= 0);
    PlayerProcess player;
    const Bytes inquiry(kDeviceInquiryBytes.begin(), kDeviceInquiryBytes.end());
    Bytes expected = inquiry;
    for (const std::uint8_t fill : {0x20, 0x30}) {
        const std::string file = player.root() + "/carrow-" + std::to_string(fill) + ".syx";
        const Bytes dump = sysexDumpFile(0x13, 2, fill);
        writeFile(file, dump);
        if (fill == 0x20)
            player.start({file});
        else
            EXPECT_EQ(player.runSecondLaunch({file}, 30.0), 0);
        expected.insert(expected.end(), dump.begin(), dump.end());
        ASSERT_TRUE(waitFor([&] { return joined(carrow.sink.events()).size() >= expected.size(); }, 30.0))
            << player.standardError();
    }
    carrow.sink.waitForQuiet(0.3, 3.0);
    EXPECT_EQ(joined(carrow.sink.events()), expected);
    EXPECT_EQ(joined(silent.sink.events()), inquiry);
    EXPECT_EQ(joined(tessel.sink.events()), inquiry);
}

// `--receive` keeps what a synth sends at full speed on the sequencer: every whole Brennick message,
// saved identical, and says so; of an interrupted dump the whole messages, saying how many were cut.
TEST(AlsaPlayer, ReceivedDumpIsSavedWholeAndAnInterruptedOneKeepsItsWholeMessages)
{
    prepareGuest();
    AlsaSink lumen("Lumen", "Lumen In");
    const int out = lumen.addPort("Lumen Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    ASSERT_TRUE(lumen.ok() && out >= 0);
    const Bytes large = largeSysExDump(200), small = largeSysExDump(5);
    const struct {
        const char* name;
        Bytes sent;
        const Bytes& kept;
        const char* said;
    } cases[] = {
        {"at full speed", large, large, "Saved 200 messages, 499.7 kB to dump.syx\n"},
        {"interrupted", interruptedSysExDump(small), small,
         "Saved 5 messages, 12.2 kB to dump.syx; dropped 2 messages cut short\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlayerProcess player;
        auto launch = std::async(std::launch::async, [&] {
            return player.runLaunch({"--receive", "dump.syx", "--from", "Lumen", "--silence", "1"}, {}, player.root(),
                                    120.0);
        });
        ASSERT_TRUE(waitFor(
            [&] { return player.launchStandardError().find("Waiting for a dump from") != std::string::npos; }, 60.0))
            << player.launchStandardError();
        lumen.sendFrom(out, c.sent);
        const LaunchResult received = launch.get();
        EXPECT_EQ(received.status, 0) << received.standardError;
        EXPECT_EQ(received.standardOutput, c.said) << received.standardError;
        EXPECT_EQ(readFile(player.root() + "/dump.syx"), c.kept);
    }
}
