#include "tests/support/player_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#ifndef BRENNICK_BINARY_DIR
#error "BRENNICK_BINARY_DIR must name the build folder"
#endif

namespace fs = std::filesystem;

namespace brennick::test {

namespace {

// In a child: runs `program` with `arguments`; never returns.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::map<std::string, std::string>& environment, const std::string& stderrPath)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    for (const auto& [key, value] : environment)
        ::setenv(key.c_str(), value.c_str(), 1);
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) {
        ::dup2(err, STDERR_FILENO);
        ::dup2(err, STDOUT_FILENO);
    }
    execProgram(program, arguments);
}

int decode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// A launch with standard output and error kept apart, variables set or (nullopt) removed, and
// its own working directory.
pid_t spawnApart(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::optional<std::string>>& environment, const std::string& stdoutPath,
                 const std::string& stderrPath, const std::string& workingDirectory)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    for (const auto& [key, value] : environment) {
        if (value)
            ::setenv(key.c_str(), value->c_str(), 1);
        else
            ::unsetenv(key.c_str());
    }
    const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0))
        ::_exit(127);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    execProgram(program, arguments);
}

std::string contentsOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

PlayerProcess::PlayerProcess()
{
    std::string pattern = (fs::temp_directory_path() / "brennick-player-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    fs::create_directories(root_ + "/bin");
    fs::create_directories(runtimeDirectory());
    fs::permissions(runtimeDirectory(), fs::perms::owner_all, fs::perm_options::replace);
    // The built tree, or the one BRENNICK_PLAYER_TREE names (a test machine that holds the program
    // elsewhere, such as a virtual machine).
    const char* tree = std::getenv("BRENNICK_PLAYER_TREE");
    const std::string source = tree != nullptr ? tree : BRENNICK_BINARY_DIR;
    fs::copy_file(source + "/bin/brennick-midi-player", root_ + "/bin/brennick-midi-player");
    fs::create_directories(resourceDirectory());
    const fs::path resources = source + "/share/brennick-midi-player";
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(resources, ignored))
        if (entry.path().extension() != ".xml")  // not the build tree's own settings
            fs::copy(entry.path(), resourceDirectory() / entry.path().filename(), fs::copy_options::recursive);
}

PlayerProcess::~PlayerProcess()
{
    if (running()) {
        sendSignal(SIGKILL);
        waitForExit(5);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void PlayerProcess::start(const std::vector<std::string>& arguments,
                          const std::map<std::string, std::string>& environment)
{
    // A private XDG_CONFIG_HOME: the settings file of the person running the tests stays out of it.
    std::map<std::string, std::string> env{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"XDG_RUNTIME_DIR", runtimeDirectory()},
                                           {"XDG_CONFIG_HOME", userConfigHome()}};
    for (const auto& [k, v] : environment)
        env[k] = v;
    exited_ = false;
    pid_ = spawn(root_ + "/bin/brennick-midi-player", arguments, env, root_ + "/stderr.txt");
}

int PlayerProcess::runSecondLaunch(const std::vector<std::string>& arguments, double timeoutSeconds)
{
    const pid_t pid = spawn(root_ + "/bin/brennick-midi-player", arguments,
                            {{"QT_QPA_PLATFORM", "offscreen"},
                             {"XDG_RUNTIME_DIR", runtimeDirectory()},
                             {"XDG_CONFIG_HOME", userConfigHome()}},
                            root_ + "/stderr-second.txt");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return decode(status);
}

LaunchResult PlayerProcess::runLaunch(const std::vector<std::string>& arguments,
                                      const std::map<std::string, std::optional<std::string>>& environment,
                                      const std::string& workingDirectory, double timeoutSeconds)
{
    std::map<std::string, std::optional<std::string>> env{{"QT_QPA_PLATFORM", "offscreen"},
                                                          {"XDG_RUNTIME_DIR", runtimeDirectory()}};
    for (const auto& [k, v] : environment)
        env[k] = v;
    const std::string out = root_ + "/launch-stdout.txt";
    const std::string err = root_ + "/launch-stderr.txt";
    const pid_t pid = spawnApart(root_ + "/bin/brennick-midi-player", arguments, env, out, err, workingDirectory);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    bool timedOut = false;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {timedOut ? -1 : decode(status), contentsOf(out), contentsOf(err)};
}

bool PlayerProcess::running()
{
    if (pid_ <= 0 || exited_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = status;
        return false;
    }
    return true;
}

int PlayerProcess::waitForExit(double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid_ > 0 ? decode(status_) : -1;
}

void PlayerProcess::sendSignal(int signal)
{
    if (running())
        ::kill(pid_, signal);
}

std::string PlayerProcess::standardError() const
{
    std::ifstream in(root_ + "/stderr.txt");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string PlayerProcess::launchStandardError() const
{
    return contentsOf(root_ + "/launch-stderr.txt");
}

std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(const std::string& path)
{
    const auto bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

std::string settingsText(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>" + entries +
           "</dict>\n</plist>\n";
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool waitFor(const std::function<bool()>& condition, double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace brennick::test
