#include "toolkit/ca_file_path_utils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class PathToParent : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/path_utils_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "music" / "set:list");
        previous = fs::current_path();
    }
    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(root);
    }

    // The folder a reference points at, compared by device and inode.
    static bool refersTo(const FSRef& ref, const fs::path& folder)
    {
        struct stat a {
        }, b{};
        return ref.isValid() && fstat(ref.fd(), &a) == 0 && stat(folder.c_str(), &b) == 0 && S_ISDIR(a.st_mode) &&
               a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    fs::path root, previous;
};

TEST_F(PathToParent, SplitsExistingParentAndName)
{
    struct Case {
        std::string path;  // relative to root
        fs::path parent;   // relative to root
        const char* name;
    };
    const Case cases[] = {
        {"/music/song.mid", "music", "song.mid"},
        {"/music/a:b.mid", "music", "a/b.mid"},              // host naming form
        {"/music/set:list/take", "music/set:list", "take"},  // only the last component is converted
        {"/music//song.mid", "music", "song.mid"},
        {"/music/new-folder/", "music", "new-folder"},  // trailing slash ignored
        {"/music/..", "music", ".."},
    };
    for (const Case& c : cases) {
        FSRef ref;
        CFString name;
        EXPECT_EQ(PosixPathToParentFSRefAndName((root.string() + c.path).c_str(), ref, name), 0) << c.path;
        EXPECT_TRUE(refersTo(ref, root / c.parent)) << c.path;
        EXPECT_EQ(name.utf8(), c.name) << c.path;
    }
}

TEST_F(PathToParent, RelativePathsStartInTheCurrentFolder)
{
    fs::current_path(root);
    FSRef ref;
    CFString name;
    EXPECT_EQ(PosixPathToParentFSRefAndName("song.mid", ref, name), 0);
    EXPECT_TRUE(refersTo(ref, root));
    EXPECT_EQ(PosixPathToParentFSRefAndName("music/x", ref, name), 0);
    EXPECT_TRUE(refersTo(ref, root / "music"));
}

TEST_F(PathToParent, MissingParentGivesMinus43AndStillTheName)
{
    fs::path file = root / "music" / "plain";
    {
        FILE* f = fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    struct Case {
        std::string path;
        const char* name;
    };
    const Case cases[] = {
        {(root / "missing" / "x:y.mid").string(), "x/y.mid"},
        {(file / "child").string(), "child"},  // parent is a file, not a folder
        {"/", "/"},
        {"", ""},
        {(root / "music" / "caf\xC3\xA9\xFF.wav").string(), "caf\xC3\xA9\xEF\xBF\xBD.wav"},  // not UTF-8
    };
    for (const Case& c : cases) {
        FSRef ref(dup(0));  // a previous reference is released, not kept
        CFString name;
        EXPECT_EQ(PosixPathToParentFSRefAndName(c.path.c_str(), ref, name), fnfErr) << c.path;
        EXPECT_FALSE(ref.isValid()) << c.path;
        EXPECT_EQ(name.utf8(), c.name) << c.path;
    }
    FSRef ref;
    CFString name = *CFString::fromUTF8("old");
    EXPECT_EQ(PosixPathToParentFSRefAndName(nullptr, ref, name), fnfErr);
    EXPECT_TRUE(name.empty());
}

TEST(FSRefOwnership, ClosesOnceAndMoves)
{
    const int fd = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
        FSRef a(fd);
        FSRef b(std::move(a));
        EXPECT_FALSE(a.isValid());
        EXPECT_EQ(b.fd(), fd);
        FSRef c;
        c = std::move(b);
        EXPECT_EQ(c.fd(), fd);
        EXPECT_NE(fcntl(fd, F_GETFD), -1);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed by the destructor";
}

}  // namespace
