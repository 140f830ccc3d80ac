// What the player tells about itself: --help and the manual page name every feature a user meets,
// and the manual pages render cleanly, every word as written.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::string kManDir = BRENNICK_SOURCE_DIR "/resources/man/";

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The page as man shows it, on lines long enough that no word is broken, and groff's warnings.
struct Rendered {
    std::string text;
    std::string warnings;
};

Rendered render(const std::string& page)
{
    const std::string out = testing::TempDir() + "man_out", err = testing::TempDir() + "man_err";
    const std::string command = "groff -man -Tascii -ww -rLL=3000n -rHY=0 -P-cbou '" + kManDir + page + "' >'" +
                                out + "' 2>'" + err + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    // Runs of blanks are one space, so that a phrase is found wherever the page breaks its lines.
    return {std::regex_replace(readFile(out), std::regex("\\s+"), " "), readFile(err)};
}

bool haveGroff()
{
    return std::system("command -v groff >/dev/null") == 0;
}

std::set<std::string> words(const std::string& text)
{
    static const std::regex word("[A-Za-z]+");
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it)
        found.insert(it->str());
    return found;
}

TEST(CommandLine, HelpAndManualPageNameEveryFeature)
{
    if (!haveGroff())
        GTEST_SKIP() << "groff is not installed (scripts/install-deps.sh test)";
    const std::string help = brennick::helpText().toStdString();
    const std::string manual = render("brennick-midi-player.1").text;
    for (const char* feature : {".syx", "Stop (Escape)", "Play Again", "Send To", "Automatic", "SysEx Pacing",
                                "Quit on stop", "Recent Files", "Play Several Files in Turn", "Previous", "Next",
                                "Repeat", "LoopStatus", "Pause", "Resume", "Left and Right", "Tempo", "Panic",
                                "media controls", "MPRIS", "per synth model",
                                "<prefix>/share/brennick-midi-player/BrennickMIDIPlayerSetting.xml",
                                "per-user settings file",
                                "$XDG_CONFIG_HOME/brennick-midi-player/BrennickMIDIPlayerSetting.xml", "--list",
                                "--help", "--version", "WAYLAND_DISPLAY", "Receive Sound Dump", "--receive",
                                "--from", "--silence", "Saved 12 messages, 4.2 kB"}) {
        EXPECT_NE(help.find(feature), std::string::npos) << "--help lacks " << feature;
        EXPECT_NE(manual.find(feature), std::string::npos) << "the manual page lacks " << feature;
    }
}

// A macro line that alternates fonts (.BR, .RB, ...) joins its arguments without a space: an
// argument left unquoted glues two words together ("when set" shown as "whenset"). Words meant to
// touch are written touching, with font escapes between them ("\fB\ex\fIhh").
TEST(CommandLine, ManualPagesRenderEveryWordAsWritten)
{
    if (!haveGroff())
        GTEST_SKIP() << "groff is not installed (scripts/install-deps.sh test)";
    // Font changes vanish; special characters (\(aq) and the escaped backslash (\e) part words.
    static const std::regex fontChange(R"(\\f(\[[^\]]*\]|\(..|.)|\\&)"), separator(R"(\\\(..|\\e)");
    for (const char* page : {"brennick-midi-player.1", "asbd.1"}) {
        const Rendered rendered = render(page);
        EXPECT_EQ(rendered.warnings, "") << page;
        const std::string source = readFile(kManDir + page);
        const std::set<std::string> written =
            words(std::regex_replace(std::regex_replace(source, fontChange, ""), separator, " "));
        for (const std::string& word : words(rendered.text))
            EXPECT_TRUE(written.contains(word)) << page << " shows \"" << word << "\", which it does not hold";
    }
}

}  // namespace
