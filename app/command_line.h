#pragma once
// The program's few options, read from the raw process arguments before anything else starts:
// informational ones, and --receive, an action of its own. The player itself is configured by its
// settings file alone.

#include <QByteArray>
#include <QList>
#include <QString>

#include "app/dump_receiver.h"

namespace brennick {

// The program's exit statuses, as --help and the manual page list them.
inline constexpr int kExitOk = 0;             // ended normally, handed its files over, or informed
inline constexpr int kExitAfterPlayback = 1;  // automatic quit, the no-device alert dismissed, or
                                              // --receive saved nothing
inline constexpr int kExitUsage = 2;          // a usage error, or no graphical display
inline constexpr int kExitPlayerStuck = 3;    // a player holds the socket but cannot take the files

struct CommandLine {
    enum class Action {
        Run,      // start, or hand the operands to the running player
        Help,     // print helpText()
        Version,  // print versionText()
        List,     // print the MIDI destinations and where each operand would go
        Receive,  // receive a dump into `receivePath`
        Usage,    // `error` names the argument that is neither an option nor a file
    };
    Action action = Action::Run;
    QList<QByteArray> operands;  // files and URLs, the bytes as given
    QByteArray receivePath;      // the bytes as given
    QString from;                // --from: part of the names of the sources to receive from
    double silenceSeconds = kDefaultDumpSilenceSeconds;
    QString error;
};

// Reads argv[1] onwards. "--help", "--version", "--list" and "--receive FILE" with "--from NAME"
// and "--silence SECONDS" are the options; "--" ends them. The argument after --receive, --from
// and --silence is theirs whatever it looks like. An argument after "--", one that does not begin
// with "-", and one that begins with "-" but names an existing file (relative to the working
// directory) is an operand; any other argument that begins with "-" is a usage error, as are an
// option given twice, an option without its argument, a silence that is not a number of seconds
// above 0, --from or --silence without --receive, and operands with --receive. A usage error wins
// over the options, then --help, --version, --list and --receive in that order. (A file called
// "--help" is reached as "./--help" or after "--".)
CommandLine parseCommandLine(int argc, char** argv);

QString helpText();     // ends in a newline
QString usageText();    // the short form shown with a usage error, ends in a newline
QString versionText();  // one line, ends in a newline

}  // namespace brennick
