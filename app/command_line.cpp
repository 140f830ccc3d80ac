#include "app/command_line.h"

#include "platform/local_path.h"

#ifndef BRENNICK_VERSION
#error "BRENNICK_VERSION must be the project's version"
#endif

namespace brennick {

CommandLine parseCommandLine(int argc, char** argv)
{
    CommandLine line;
    bool help = false;
    bool version = false;
    bool list = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (optionsEnded || !arg.startsWith('-')) {
            line.operands.append(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--list") {
            list = true;
        } else if (localPathExists(decodeLocalPath(arg))) {
            line.operands.append(arg);  // a file that happens to look like an option
        } else if (line.error.isEmpty()) {
            line.error = QStringLiteral("unknown option: %1").arg(decodeLocalPath(arg));
        }
    }
    if (!line.error.isEmpty())
        line.action = CommandLine::Action::Usage;
    else if (help)
        line.action = CommandLine::Action::Help;
    else if (version)
        line.action = CommandLine::Action::Version;
    else if (list)
        line.action = CommandLine::Action::List;
    return line;
}

QString usageText()
{
    return QStringLiteral("Usage: brennick-midi-player [--] [FILE|URL]...\n"
                          "       brennick-midi-player --list [--] [FILE]...\n"
                          "       brennick-midi-player --help | --version\n");
}

QString helpText()
{
    return usageText() +
           QStringLiteral("\n"
                          "Plays a Standard MIDI File to the MIDI destination whose name contains the Brennick synth\n"
                          "model the file names (else to the first destination), and shows its progress. One player\n"
                          "runs per user: a later launch hands its files and URLs to it and ends; of several files\n"
                          "only the last is played. The player's only setting, \"Quit on stop\", is kept in its\n"
                          "settings file.\n"
                          "\n"
                          "Options:\n"
                          "  --list     print the MIDI destinations the player sees, in order, and for each FILE\n"
                          "             which one it would be sent to and why; sends nothing, needs no display\n"
                          "  --help     print this help\n"
                          "  --version  print the version\n"
                          "  --         end of options: every later argument is a file or URL\n"
                          "An argument that begins with \"-\" is a file when a file of that name exists.\n"
                          "\n"
                          "Exit status:\n"
                          "  0  the player ended normally (window closed, Quit, SIGTERM or SIGINT); the files were\n"
                          "     handed to the running player; or --help, --version or --list\n"
                          "  1  playback ended with \"Quit on stop\" on, or the no-device alert was dismissed\n"
                          "  2  a usage error, or no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n"
                          "  3  a running player holds the single-instance socket but cannot take the files: it does\n"
                          "     not answer (stopped or hung), it belongs to another user, or something that is not a\n"
                          "     socket is in the way; no second player is started\n");
}

QString versionText()
{
    return QStringLiteral("brennick-midi-player " BRENNICK_VERSION "\n");
}

}  // namespace brennick
