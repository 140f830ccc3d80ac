#pragma once
// main() for in-process tests of the controller: runs the tests from a copy of the test program in
// a private installed-style tree (bin/ beside share/brennick-midi-player/), so that the resource
// directory the controller computes from the executable's place is this run's own, and tests of
// other programs running at the same time never see its settings file or resource sequence.
//
//   int main(int argc, char** argv) { return brennick::test::runInPrivateTree(argc, argv); }

#include <gtest/gtest.h>

#include <QApplication>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace brennick::test {

inline constexpr const char* kPrivateTreeVariable = "BRENNICK_TEST_PRIVATE_TREE";

// The private tree's root; empty outside runInPrivateTree.
inline std::string privateTreeRoot()
{
    const char* root = std::getenv(kPrivateTreeVariable);
    return root != nullptr ? root : "";
}

inline std::string privateResourceDirectory()
{
    return privateTreeRoot() + "/share/brennick-midi-player";
}

inline int runInPrivateTree(int argc, char** argv)
{
    namespace fs = std::filesystem;
    if (!privateTreeRoot().empty()) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        // Death tests start the program afresh rather than forking a process with Qt's threads.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        return RUN_ALL_TESTS();
    }

    std::string pattern = (fs::temp_directory_path() / "brennick-app-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::create_directories(root / "bin");
    fs::create_directories(root / "share/brennick-midi-player");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path copy = root / "bin" / self.filename();
    std::error_code error;
    fs::create_hard_link(self, copy, error);
    if (error)
        fs::copy_file(self, copy, error);
    int status = 1;
    if (!error) {
        ::setenv(kPrivateTreeVariable, root.c_str(), 1);
        // The user's own settings folder too, so a settings file of the person running the tests
        // is neither read nor written.
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        const pid_t child = ::fork();
        if (child == 0) {
            argv[0] = const_cast<char*>(copy.c_str());
            ::execv(copy.c_str(), argv);
            ::_exit(127);
        }
        int raw = 0;
        if (child > 0 && ::waitpid(child, &raw, 0) == child)
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else {
        std::fprintf(stderr, "cannot copy %s: %s\n", self.c_str(), error.message().c_str());
    }
    fs::permissions(root / "share/brennick-midi-player", fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(root, error);
    return status;
}

}  // namespace brennick::test
