#include "app/command_line.h"

#include "platform/local_path.h"

#ifndef BRENNICK_VERSION
#error "BRENNICK_VERSION must be the project's version"
#endif

namespace brennick {

namespace {

// Longest silence --silence takes: a day.
constexpr double kMaxSilenceSeconds = 86400.0;

}  // namespace

CommandLine parseCommandLine(int argc, char** argv)
{
    CommandLine line;
    bool help = false;
    bool version = false;
    bool list = false;
    bool optionsEnded = false;
    QList<QByteArray> given;  // the options that take an argument, once each
    const auto fail = [&line](const QString& error) {
        if (line.error.isEmpty())
            line.error = error;
    };
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
        } else if (arg == "--receive" || arg == "--from" || arg == "--silence") {
            if (given.contains(arg))
                fail(QStringLiteral("%1 given twice").arg(QString::fromLatin1(arg)));
            given.append(arg);
            if (i + 1 == argc) {
                fail(QStringLiteral("%1 needs an argument").arg(QString::fromLatin1(arg)));
                break;
            }
            const QByteArray value(argv[++i]);
            bool number = false;
            if (arg == "--receive")
                line.receivePath = value;
            else if (arg == "--from")
                line.from = decodeLocalPath(value);
            else if (line.silenceSeconds = value.toDouble(&number);
                     !number || !(line.silenceSeconds > 0.0 && line.silenceSeconds <= kMaxSilenceSeconds))
                fail(QStringLiteral("--silence needs a number of seconds above 0 (at most a day): %1")
                         .arg(decodeLocalPath(value)));
        } else if (localPathExists(decodeLocalPath(arg))) {
            line.operands.append(arg);  // a file that happens to look like an option
        } else {
            fail(QStringLiteral("unknown option: %1").arg(decodeLocalPath(arg)));
        }
    }
    const bool receive = given.contains("--receive");
    if (!receive && given.size() > 0)
        fail(QStringLiteral("%1 goes with --receive").arg(QString::fromLatin1(given.front())));
    if (receive && line.receivePath.isEmpty())
        fail(QStringLiteral("--receive needs a file name"));
    if (receive && !line.operands.isEmpty())
        fail(QStringLiteral("--receive takes no other file: %1").arg(decodeLocalPath(line.operands.front())));
    if (!line.error.isEmpty())
        line.action = CommandLine::Action::Usage;
    else if (help)
        line.action = CommandLine::Action::Help;
    else if (version)
        line.action = CommandLine::Action::Version;
    else if (list)
        line.action = CommandLine::Action::List;
    else if (receive)
        line.action = CommandLine::Action::Receive;
    return line;
}

QString usageText()
{
    return QStringLiteral("Usage: brennick-midi-player [--] [FILE|URL]...\n"
                          "       brennick-midi-player --list [--] [FILE]...\n"
                          "       brennick-midi-player --receive FILE [--from NAME] [--silence SECONDS]\n"
                          "       brennick-midi-player --help | --version\n");
}

// What the player does and where it keeps its settings, as README.md and the manual page say it;
// tests/app/command_line_test.cpp keeps the two in step.
QString helpText()
{
    return usageText() +
           QStringLiteral(
               "\n"
               "Plays a Standard MIDI File (.mid, .midi) or a raw SysEx file (.syx) to the MIDI\n"
               "destination whose name contains the Brennick synth model the file names; when\n"
               "none does, to the one whose device answers the Device Inquiry as that model\n"
               "(else to the first destination), pacing SysEx so the synth keeps up, and shows\n"
               "the progress. Destinations are those of a running JACK server, else of the ALSA\n"
               "sequencer. One player runs per user: a later launch hands its files and URLs\n"
               "to it and ends; of several files only the last is played, unless Play Several\n"
               "Files in Turn is on.\n"
               "\n"
               "The window's menu (right click): Recent Files plays one of the last ten files\n"
               "that played; Stop (Escape) ends playback as its end does, finishing the SysEx\n"
               "message under way; Play Again plays the last file from the start; Send To\n"
               "picks the destination for the file's synth model (Automatic: the rule above);\n"
               "SysEx Pacing sets that model's SysEx speed and the pause after each message.\n"
               "With Play Several Files in Turn on, several files dropped, opened or given play\n"
               "one after another, the status showing which (\"(2/5)\"), and Previous and Next\n"
               "move in the list. Repeat plays the file, or the list, again from its start at\n"
               "its end. With Quit on stop on, the player quits when playback ends or is\n"
               "stopped; with Repeat on too, only Stop ends it. Pause (Space) silences at once\n"
               "and Resume goes on with each channel's sound as it stands there; the wheel\n"
               "over the knob, Left and Right seek 5 seconds, Home goes to the start; Tempo\n"
               "(+ and -) plays from 50 % to 200 % and is kept per file; Panic (Ctrl+.) sends\n"
               "all notes off and reset all controllers on all 16 channels. The desktop's\n"
               "media controls (MPRIS) show the file that plays and can play it again, pause,\n"
               "seek, stop it, set the rate, go to the next or previous file, and set Repeat\n"
               "(LoopStatus). Receive Sound Dump... saves what a synth sends, as --receive\n"
               "does, until Stop (Escape).\n"
               "\n"
               "Settings (\"Quit on stop\", \"Play Several Files in Turn\", \"Repeat\", the\n"
               "recent files, and per synth model the destination picked with Send To and the\n"
               "SysEx pacing) are kept in the settings file\n"
               "<prefix>/share/brennick-midi-player/BrennickMIDIPlayerSetting.xml, or, where\n"
               "that folder cannot be written, in the per-user settings file\n"
               "$XDG_CONFIG_HOME/brennick-midi-player/BrennickMIDIPlayerSetting.xml, which is\n"
               "the one read once it exists. There are no settings on the command line.\n"
               "\n"
               "Options:\n"
               "  --list     print the MIDI destinations the player sees, in order, with what\n"
               "             each device answered the Device Inquiry as, and for each FILE\n"
               "             which one it would be sent to and why; sends only the inquiry,\n"
               "             needs no display\n"
               "  --receive FILE\n"
               "             receive a sound dump: every whole Brennick SysEx message (maker\n"
               "             3E) that a MIDI source sends is kept, in the order it arrives,\n"
               "             and saved to FILE (a .syx file the player plays back as it came)\n"
               "             in place of the old one only at the end; other makers' messages\n"
               "             and channel messages are ignored and counted. It ends SECONDS\n"
               "             after the latest message once one was kept, or on SIGTERM or\n"
               "             SIGINT (Ctrl+C), and prints \"Saved 12 messages, 4.2 kB to FILE\",\n"
               "             with the messages cut short that were dropped; with nothing\n"
               "             received no file is written. Needs no display\n"
               "  --from NAME\n"
               "             with --receive: only the sources whose name contains NAME\n"
               "             (ignoring case); without it, every source\n"
               "  --silence SECONDS\n"
               "             with --receive: the silence that ends a dump (default 3)\n"
               "  --help     print this help\n"
               "  --version  print the version\n"
               "  --         end of options: every later argument is a file or URL\n"
               "An argument that begins with \"-\" is a file when a file of that name exists.\n"
               "\n"
               "Exit status:\n"
               "  0  the player ended normally (window closed, Quit, SIGTERM or SIGINT); the\n"
               "     files were handed to the running player; --help, --version or --list;\n"
               "     or --receive saved a dump\n"
               "  1  playback (the last file of a list) ended with \"Quit on stop\" on, the\n"
               "     no-device alert was dismissed, or --receive saved nothing (nothing was\n"
               "     received, no source was there, or the file could not be written)\n"
               "  2  a usage error (--from naming no source among them), or no graphical\n"
               "     display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n"
               "  3  a running player holds the single-instance socket but cannot take the\n"
               "     files: it does not answer (stopped or hung), it belongs to another user,\n"
               "     or something that is not a socket is in the way; no second player is\n"
               "     started\n");
}

QString versionText()
{
    return QStringLiteral("brennick-midi-player " BRENNICK_VERSION "\n");
}

}  // namespace brennick
