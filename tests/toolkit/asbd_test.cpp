// The asbd tool end to end: the built program with arguments and with lines on standard input.
#include "toolkit/ca_stream_basic_description.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `arguments` are passed through the shell as written (quote them there). The tool runs in
// `workingDir` when one is given.
ToolRun runAsbd(const std::string& arguments, const std::string& input = "", const std::string& workingDir = "")
{
    const std::string dir = testing::TempDir();
    const std::string in = dir + "asbd_in", out = dir + "asbd_out", err = dir + "asbd_err";
    std::ofstream(in, std::ios::binary) << input;
    const std::string command = (workingDir.empty() ? "" : "cd '" + workingDir + "' && ") +
                                "'" BRENNICK_BINARY_DIR "/bin/asbd' " + arguments + " <'" + in + "' >'" + out +
                                "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

const std::string kUsage = CAStreamBasicDescription::sTextParsingUsageString;

TEST(Asbd, DescribesArguments)
{
    const ToolRun ok = runAsbd("-- F32@44100,2 -BEI16");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ok.out, "F32@44100,2\n"
                      "   2 ch,  44100 Hz, 'lpcm' (0x00000009) 32-bit little-endian float\n"
                      "  44100 Mixable 2 Ch Float32\n"
                      "  44100 Mixable 2 Channel 32 Bit Floating Point\n"
                      "-BEI16\n"
                      "   1 ch,      0 Hz, 'lpcm' (0x0000000E) 16-bit big-endian signed integer\n"
                      "  Mixable 1 Ch Big Endian SInt16\n"
                      "  Mixable 1 Channel 16 Bit Big Endian Signed Integer\n");
    const ToolRun later = runAsbd("F32@44100,2 -- -BEI16");  // "--" ends the options where it stands
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(later.out, ok.out);
}

TEST(Asbd, ReportsTextsThatDoNotParse)
{
    const ToolRun run = runAsbd("aac,2 ab I16");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "aac,2\n  not a valid format text\nab\n  not a valid format text\nI16\n"
                       "   1 ch,      0 Hz, 'lpcm' (0x0000000C) 16-bit little-endian signed integer\n"
                       "  Mixable 1 Ch SInt16\n  Mixable 1 Channel 16 Bit Signed Integer\n");
    EXPECT_EQ(run.err, "extra characters at end of format string: 2\nInvalid format string: aac,2\n"
                       "Syntax of format strings is: \n" +
                           kUsage + kUsage);
}

TEST(Asbd, ReadsLinesWithoutArguments)
{
    const ToolRun run = runAsbd("", "aac@44100#1024\r\n\n   \nalac/2#4096\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "aac@44100#1024\n"
                       "   0 ch,  44100 Hz, 'aac ' (0x00000000) 0 bits/channel, 0 bytes/packet, 1024 frames/packet, "
                       "0 bytes/frame\n"
                       "  44100 aac \n  44100 aac \n"
                       "alac/2#4096\n"
                       "   0 ch,      0 Hz, 'alac' (0x00000002) from 20-bit source, 4096 frames/packet\n"
                       "  alac\n  alac\n");
}

TEST(Asbd, InfersFromFileName)
{
    // Trying which formats can be written must leave the working directory as it was.
    const std::filesystem::path workingDir = std::filesystem::path(testing::TempDir()) / "asbd_cwd";
    std::filesystem::remove_all(workingDir);
    std::filesystem::create_directory(workingDir);

    const ToolRun mp3 = runAsbd("--infer x.mp3", "", workingDir.string());
    EXPECT_EQ(mp3.status, 0);
    EXPECT_EQ(mp3.out.rfind("x.mp3: 'MPEG'", 0), 0u) << mp3.out;
    const std::size_t suggestion = mp3.out.find("\n  suggested data format: ");
    ASSERT_NE(suggestion, std::string::npos) << mp3.out;
    EXPECT_NE(mp3.out.find("'.mp3'", suggestion), std::string::npos) << "layer III, the one layer written";
    EXPECT_TRUE(std::filesystem::is_empty(workingDir));
}

// Commands other than the texts, and what is a usage error: the message on standard error starts
// with `err` (nothing when empty), and no text is described.
TEST(Asbd, CommandsAndUsageErrors)
{
    const std::vector<std::tuple<std::string, int, std::string, std::string>> cases = {
        {"--infer noextension", 1, "noextension: no writable file type has this extension\n", ""},
        {"--version", 0, "asbd " BRENNICK_VERSION "\n", ""},
        {"--infer", 2, "", "asbd: wrong number of arguments for --infer\nusage: asbd"},
        {"--file-types extra", 2, "", "asbd: wrong number of arguments for --file-types\nusage: asbd"},
        {"--version F32", 2, "", "asbd: wrong number of arguments for --version\nusage: asbd"},
        {"--bogus F32", 2, "", "asbd: unknown option: --bogus\nusage: asbd"},
        {"F32 -x", 2, "", "asbd: unknown option: -x\nusage: asbd"},
        {"-BEF32", 2, "", "asbd: unknown option: -BEF32\nusage: asbd"},
        {"F32 --infer x.wav", 2, "", "asbd: a command comes first, alone: --infer\nusage: asbd"},
    };
    for (const auto& [arguments, status, out, err] : cases) {
        const ToolRun run = runAsbd(arguments);
        EXPECT_EQ(run.status, status) << arguments;
        EXPECT_EQ(run.out, out) << arguments;
        EXPECT_EQ(run.err.substr(0, err.empty() ? std::string::npos : err.size()), err) << arguments;
    }
}

TEST(Asbd, Help)
{
    const ToolRun run = runAsbd("--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(kUsage), std::string::npos);
}

}  // namespace
