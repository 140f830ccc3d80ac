#pragma once
// A private session bus for a player under test, and calls to its media controls with dbus-send.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace brennick::test {

// A private session bus; at `listenAddress` when one is given.
class SessionBus {
public:
    explicit SessionBus(const std::string& listenAddress = {})
    {
        const std::string command = "dbus-daemon --session --fork --print-address=1 --print-pid=1" +
                                    (listenAddress.empty() ? "" : " --address=" + listenAddress);
        if (FILE* out = ::popen(command.c_str(), "r")) {
            char line[512];
            if (std::fgets(line, sizeof line, out))
                address_ = std::string(line, std::strcspn(line, "\n"));
            if (std::fgets(line, sizeof line, out))
                pid_ = std::atoi(line);
            ::pclose(out);
        }
    }
    ~SessionBus()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    const std::string& address() const { return address_; }

    // Calls `member` of the player over the bus; what dbus-send printed.
    std::string send(const std::string& member, const std::string& arguments = {}) const
    {
        const std::string command =
            "DBUS_SESSION_BUS_ADDRESS='" + address_ +
            "' dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.brennick_midi_player "
            "/org/mpris/MediaPlayer2 " +
            member + " " + arguments + " 2>&1";
        std::string output;
        if (FILE* out = ::popen(command.c_str(), "r")) {
            char buffer[1024];
            while (std::fgets(buffer, sizeof buffer, out))
                output += buffer;
            ::pclose(out);
        }
        return output;
    }
    // The player's property `name` as dbus-send prints it.
    std::string playerProperty(const std::string& name) const
    {
        return send("org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2.Player string:" + name);
    }
    // Writes `value` ("string:Track", "double:0.5") to the player's property `name`.
    void setPlayerProperty(const std::string& name, const std::string& value) const
    {
        send("org.freedesktop.DBus.Properties.Set",
             "string:org.mpris.MediaPlayer2.Player string:" + name + " variant:" + value);
    }
    std::string playbackStatus() const { return playerProperty("PlaybackStatus"); }

private:
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace brennick::test
