// `cmake --install` lays out the program, its resource directory and the desktop integration, and
// the desktop entry and metainfo pass the freedesktop.org validators where they are installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/e2e/x_display.h"

namespace fs = std::filesystem;
using brennick::test::programAvailable;

namespace {

class InstalledTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "brennick-install-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        prefix_ = pattern;
        const std::string command = "cmake --install '" + std::string(BRENNICK_BINARY_DIR) + "' --prefix '" +
                                    prefix_.string() + "' >'" + prefix_.string() + "/install.log' 2>&1";
        installStatus_ = std::system(command.c_str());
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
    }
    void SetUp() override { ASSERT_EQ(installStatus_, 0) << read(prefix_ / "install.log"); }

    static std::string read(const fs::path& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static fs::path prefix_;
    static int installStatus_;
};
fs::path InstalledTree::prefix_;
int InstalledTree::installStatus_ = -1;

TEST_F(InstalledTree, ProgramAndResourceDirectory)
{
    const fs::path program = prefix_ / "bin/brennick-midi-player";
    ASSERT_TRUE(fs::is_regular_file(program));
    EXPECT_EQ(::access(program.c_str(), X_OK), 0);
    // Where the program looks for its resources: <bin>/../share/brennick-midi-player.
    const fs::path resources = prefix_ / "share/brennick-midi-player";
    EXPECT_TRUE(fs::is_directory(resources));
    const fs::path knob = fs::path(BRENNICK_SOURCE_DIR) / "resources/Knob.icns";
    if (fs::exists(knob)) {
        EXPECT_TRUE(fs::is_regular_file(resources / "Knob.icns"));
        EXPECT_EQ(fs::file_size(resources / "Knob.icns"), fs::file_size(knob));
    }
}

TEST_F(InstalledTree, DesktopEntryOpensMidiFiles)
{
    const fs::path entry = prefix_ / "share/applications/brennick-midi-player.desktop";
    ASSERT_TRUE(fs::is_regular_file(entry));
    const std::string text = read(entry);
    for (const char* line :
         {"\nName=Brennick MIDI Player\n", "\nExec=brennick-midi-player %U\n",
          "\nMimeType=audio/midi;audio/x-midi;audio/x-sysex;\n", "\nCategories=AudioVideo;Audio;Player;Midi;\n",
          "\nIcon=brennick-midi-player\n", "\nType=Application\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    if (!programAvailable("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed (scripts/install-deps.sh test)";
    const std::string log = (prefix_ / "desktop-file-validate.log").string();
    EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "' >'" + log + "' 2>&1").c_str()), 0)
        << read(log);
    EXPECT_EQ(read(log), "");
}

TEST_F(InstalledTree, MetainfoIsValid)
{
    const fs::path metainfo = prefix_ / "share/metainfo/com.brennick.MIDIPlayer.metainfo.xml";
    ASSERT_TRUE(fs::is_regular_file(metainfo));
    EXPECT_NE(read(metainfo).find("<launchable type=\"desktop-id\">brennick-midi-player.desktop</launchable>"),
              std::string::npos);
    if (!programAvailable("appstreamcli"))
        GTEST_SKIP() << "appstreamcli is not installed (scripts/install-deps.sh test)";
    const std::string log = (prefix_ / "appstreamcli.log").string();
    EXPECT_EQ(std::system(("appstreamcli validate --no-net '" + metainfo.string() + "' >'" + log + "' 2>&1").c_str()),
              0)
        << read(log);
}

// The shared MIME database has no type for .syx: the one we install must reach it.
TEST_F(InstalledTree, SysExFilesGetTheirMimeType)
{
    const fs::path mime = prefix_ / "share/mime";
    ASSERT_TRUE(fs::is_regular_file(mime / "packages/brennick-midi-player.xml"));
    if (!programAvailable("update-mime-database"))
        GTEST_SKIP() << "update-mime-database is not installed (scripts/install-deps.sh test)";
    const std::string log = (prefix_ / "update-mime-database.log").string();
    ASSERT_EQ(std::system(("update-mime-database '" + mime.string() + "' >'" + log + "' 2>&1").c_str()), 0)
        << read(log);
    EXPECT_TRUE(fs::is_regular_file(mime / "audio/x-sysex.xml")) << read(log);
    EXPECT_NE(read(mime / "globs2").find(":audio/x-sysex:*.syx\n"), std::string::npos) << read(mime / "globs2");
}

TEST_F(InstalledTree, IconWhenTheSourceHasOne)
{
    const fs::path png = fs::path(BRENNICK_SOURCE_DIR) / "resources/brennick-midi-player.png";
    const fs::path svg = fs::path(BRENNICK_SOURCE_DIR) / "resources/brennick-midi-player.svg";
    if (!fs::exists(png) && !fs::exists(svg))
        GTEST_SKIP() << "no application icon in resources/ yet";
    bool found = false;
    for (const auto& entry : fs::recursive_directory_iterator(prefix_ / "share/icons/hicolor")) {
        const fs::path& p = entry.path();
        if (p.parent_path().filename() == "apps" && p.stem() == "brennick-midi-player")
            found = true;
    }
    EXPECT_TRUE(found);
    if (fs::exists(png)) {
        // The size folder matches the picture: its width and height from the PNG header.
        std::ifstream in(png, std::ios::binary);
        unsigned char header[24] = {};
        in.read(reinterpret_cast<char*>(header), sizeof header);
        const auto be32 = [&](int at) {
            return (unsigned(header[at]) << 24) | (unsigned(header[at + 1]) << 16) | (unsigned(header[at + 2]) << 8) |
                   unsigned(header[at + 3]);
        };
        const std::string size = std::to_string(be32(16)) + "x" + std::to_string(be32(20));
        EXPECT_TRUE(fs::is_regular_file(prefix_ / "share/icons/hicolor" / size / "apps/brennick-midi-player.png"))
            << size;
    }
}

}  // namespace
