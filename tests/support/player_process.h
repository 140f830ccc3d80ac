#pragma once
// Runs the real player as a user would, from a private installed-style tree (bin/ beside
// share/brennick-midi-player/), so each test has its own resource directory and settings file.

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brennick::test {

// What one launch of the program did, run to its end.
struct LaunchResult {
    int status = -1;  // the exit status; -1 on timeout (then killed), -2 when ended by a signal
    std::string standardOutput;
    std::string standardError;
};

class PlayerProcess {
public:
    // Copies the built program and its resources into a new temporary tree.
    PlayerProcess();
    ~PlayerProcess();  // kills a player still running and removes the tree
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    const std::string& root() const { return root_; }
    std::string resourceDirectory() const { return root_ + "/share/brennick-midi-player"; }
    std::string settingsPath() const { return resourceDirectory() + "/BrennickMIDIPlayerSetting.xml"; }
    // The runtime directory the player's single-instance socket lives in.
    std::string runtimeDirectory() const { return root_ + "/run"; }
    // XDG_CONFIG_HOME of the player: its own settings file goes to <this>/brennick-midi-player/.
    std::string userConfigHome() const { return root_ + "/config"; }

    // Starts the program with `arguments` (offscreen Qt unless `environment` says otherwise).
    void start(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {});
    // Runs another launch of the same program with the same runtime directory and waits for it.
    int runSecondLaunch(const std::vector<std::string>& arguments, double timeoutSeconds);
    // The same, keeping standard output and error apart. `environment` adds to the launch's
    // (offscreen Qt, this runtime directory); a nullopt value removes a variable. Runs in
    // `workingDirectory` when one is given.
    LaunchResult runLaunch(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::optional<std::string>>& environment = {},
                           const std::string& workingDirectory = {}, double timeoutSeconds = 15.0);
    // What the launch runLaunch is running (on another thread) has written to standard error so far.
    std::string launchStandardError() const;
    bool running();
    pid_t pid() const { return pid_; }
    // Waits for the program to end; its exit status, or -1 on timeout / -2 when killed by a signal.
    int waitForExit(double timeoutSeconds);
    void sendSignal(int signal);
    std::string standardError() const;  // what it wrote so far

private:
    std::string root_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool exited_ = false;
};

std::vector<std::uint8_t> readFile(const std::string& path);
std::string readText(const std::string& path);
// A settings file as a user's editor might leave it: `entries` (keys and values in the property
// list's XML) in its dictionary.
std::string settingsText(const std::string& entries);
// Polls `condition` until it holds, at most `timeoutSeconds`; whether it did.
bool waitFor(const std::function<bool()>& condition, double timeoutSeconds);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);

}  // namespace brennick::test
