// The real program on the ALSA sequencer, started as a user would (inside the virtual machine,
// where no JACK server runs): the file reaches the synth it names, whole and in order, and with
// "Quit on stop" on the program ends after the last event.
#include <gtest/gtest.h>

#include <cstdlib>

#include <fstream>

#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

TEST(AlsaPlayerEndToEnd, PlaysTheFileToTheSynthItNamesAndQuitsAtTheEnd)
{
    prepareGuest();
    AlsaSink lumen("Lumen", "Lumen Port");
    AlsaSink carrow("Carrow", "Carrow In");
    ASSERT_TRUE(lumen.ok() && carrow.ok());

    SmfBuilder b(1, 96);
    b.track().delta(0).tempo(500000).delta(96).tempo(300000).delta(0).endOfTrack();
    auto& t = b.track();
    t.delta(0).sysex({0x05, 0x3E, 0x13, 0x00, 0x01, 0xF7});  // a count byte, then the model byte
    for (int i = 0; i < 8; ++i)
        t.delta(i == 0 ? 0 : 24).noteOn(1, 60 + i, 90).delta(24).noteOff(1, 60 + i);
    t.delta(0).endOfTrack();
    std::vector<Bytes> expected{{0xF0, 0x05, 0x3E, 0x13, 0x00, 0x01, 0xF7}};
    for (int i = 0; i < 8; ++i) {
        expected.push_back({0x91, std::uint8_t(60 + i), 90});
        expected.push_back({0x81, std::uint8_t(60 + i), 0x40});
    }

    PlayerProcess player;
    std::ofstream(player.settingsPath())
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Quit on stop</key>\n\t<integer>1</integer>\n</dict>\n</plist>\n";
    const std::string song = player.root() + "/song.mid";
    writeFile(song, b.bytes());
    player.start({song});

    // Ends with status 1 once playback is over ("Quit on stop").
    EXPECT_EQ(player.waitForExit(60.0), 1) << player.standardError();
    carrow.waitForQuiet(0.2, 2.0);
    std::vector<Bytes> got;
    for (const auto& e : carrow.events())
        got.push_back(e.bytes);
    EXPECT_EQ(got, expected) << player.standardError();
    EXPECT_EQ(lumen.count(), 0u);
    std::printf("  player's standard error:\n%s\n", player.standardError().c_str());
}

// A raw SysEx file on the sequencer: to the synth its model byte names, every message whole, with
// the model's pause (from the settings) between them.
TEST(AlsaPlayerEndToEnd, SysExFileGoesToItsModelWholeWithItsPause)
{
    prepareGuest();
    AlsaSink lumen("Lumen", "Lumen Port");
    AlsaSink carrow("Carrow", "Carrow In");
    ASSERT_TRUE(lumen.ok() && carrow.ok());
    const Bytes dump = sysexDumpFile(0x13, 4, 0x20);
    PlayerProcess player;
    std::ofstream(player.settingsPath())
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Quit on stop</key>\n\t<integer>1</integer>\n"
           "\t<key>SysEx pause after message</key>\n\t<dict><key>Carrow</key><integer>40</integer></dict>\n"
           "</dict>\n</plist>\n";
    const std::string file = player.root() + "/patches.syx";
    writeFile(file, dump);
    player.start({file});
    EXPECT_EQ(player.waitForExit(60.0), 1) << player.standardError();
    carrow.waitForQuiet(0.2, 2.0);
    Bytes got;
    std::vector<std::int64_t> starts;
    for (const auto& e : carrow.events()) {
        if (!e.bytes.empty() && e.bytes.front() == 0xF0)
            starts.push_back(e.ns);
        got.insert(got.end(), e.bytes.begin(), e.bytes.end());
    }
    EXPECT_EQ(got, dump);
    ASSERT_EQ(starts.size(), 4u);
    for (std::size_t i = 1; i < starts.size(); ++i)  // 60 bytes at 60000 bytes/s, then 40 ms of pause
        EXPECT_NEAR(double(starts[i] - starts[i - 1]) / 1e9, 0.041, 0.015) << "message " << i;
    EXPECT_EQ(lumen.count(), 0u);
}
