#pragma once
// A private X server (Xvfb) for end-to-end tests that must press keys in the real player, and
// xdotool to press them. Both come from the test packages; a test skips when they are missing.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace brennick::test {

inline bool programAvailable(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

class XDisplay {
public:
    // Starts Xvfb on a display number of its own choosing (-displayfd), without TCP.
    XDisplay()
    {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(pipeFds[0]);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(pipeFds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        std::string number;
        char c = 0;
        while (pid_ > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(pipeFds[0]);
        if (!number.empty())
            display_ = ":" + number;
    }
    ~XDisplay()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    bool ok() const { return !display_.empty(); }
    const std::string& name() const { return display_; }

    // The environment that puts the player on this display.
    std::map<std::string, std::string> playerEnvironment() const
    {
        return {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display_}};
    }

    // Runs xdotool with `arguments` on this display and returns its standard output; `ok` tells
    // whether it succeeded.
    std::string xdotool(const std::string& arguments, bool* ok = nullptr) const
    {
        const std::string command = "DISPLAY=" + display_ + " xdotool " + arguments + " 2>/dev/null";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            if (ok)
                *ok = false;
            return output;
        }
        std::array<char, 256> buffer{};
        while (std::fgets(buffer.data(), int(buffer.size()), pipe) != nullptr)
            output += buffer.data();
        const int status = ::pclose(pipe);
        if (ok)
            *ok = status == 0;
        return output;
    }

    // The visible windows of the player, by X window id.
    std::vector<std::string> playerWindows() const
    {
        std::istringstream lines(xdotool("search --onlyvisible --classname brennick-midi-player"));
        std::vector<std::string> ids;
        for (std::string id; std::getline(lines, id);)
            if (!id.empty())
                ids.push_back(id);
        return ids;
    }

    // Waits until the player shows at least `count` windows.
    std::vector<std::string> waitForPlayerWindows(std::size_t count, double timeoutSeconds) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            std::vector<std::string> ids = playerWindows();
            if (ids.size() >= count || std::chrono::steady_clock::now() > deadline)
                return ids;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    // Gives `window` the keyboard focus and presses `keys` (xdotool key names, e.g. "Return",
    // "ctrl+q") through the XTEST extension, as a keyboard would.
    bool pressKeys(const std::string& window, const std::string& keys) const
    {
        bool ok = false;
        xdotool("windowfocus --sync " + window, &ok);
        if (!ok)
            return false;
        xdotool("key " + keys, &ok);
        return ok;
    }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace brennick::test
