// The real program on the ALSA sequencer, started as a user would (inside the virtual machine,
// where no JACK server runs): the file reaches the synth it names, whole and with the pause its
// model's settings ask for, and with "Quit on stop" on the program ends after the last event.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/alsa/alsa_test_sink.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"

using namespace brennick::test;
using Bytes = std::vector<std::uint8_t>;

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
    std::printf("  player's standard error:\n%s\n", player.standardError().c_str());
}
