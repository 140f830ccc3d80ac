// asbd: reads stream format texts and shows how the toolkit describes them.
//
//   asbd [--] TEXT...     each TEXT, e.g. "F32@44100,2" or "aac@44100#1024"
//   asbd                  one text per line of standard input (blank lines are skipped)
//   asbd --help           the syntax of format texts
//   asbd --version        the version
//   asbd --file-types     the audio file types this machine can write, with their data formats
//   asbd --infer NAME     the file type that NAME's extension names, and a data format for it
//
// For each text it prints the text, then the record's one-line description and its abbreviated
// and long names; a text that does not parse gets the parser's messages and the syntax on standard
// error. The exit status is 0 when every text parsed, 1 otherwise, 2 for a usage error: a command
// that is not the first argument or has the wrong number of arguments, or an unknown option (an
// argument before "--" that begins with "-"; texts that do, such as "-BEF32", follow "--").
#include "toolkit/ca_stream_basic_description.h"
#include "toolkit/tools/asbd_catalogue.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef BRENNICK_VERSION
#error "BRENNICK_VERSION must be the project's version"
#endif

namespace {

constexpr std::size_t kTextSize = 512;
constexpr int kUsageError = 2;

void printUsage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: asbd [--] FORMAT_TEXT...   (or one text per line on standard input;\n"
                 "                                   a text that begins with \"-\" follows \"--\")\n"
                 "       asbd --file-types\n"
                 "       asbd --infer FILENAME\n"
                 "       asbd --help | --version\n%s",
                 CAStreamBasicDescription::sTextParsingUsageString);
}

int usageError(std::string_view problem, std::string_view argument)
{
    std::fprintf(stderr, "asbd: %.*s%.*s\n", static_cast<int>(problem.size()), problem.data(),
                 static_cast<int>(argument.size()), argument.data());
    printUsage(stderr);
    return kUsageError;
}

bool isCommand(std::string_view argument)
{
    for (const std::string_view command : {"--help", "-h", "--version", "--file-types", "--infer"})
        if (argument == command)
            return true;
    return false;
}

// Returns whether the text parsed.
bool describe(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);  // keep the text ahead of the parser's messages when both go to a terminal
    CAStreamBasicDescription desc;
    if (!CAStreamBasicDescription::FromText(text, desc)) {
        std::fputs(CAStreamBasicDescription::sTextParsingUsageString, stderr);
        std::printf("  not a valid format text\n");
        return false;
    }
    const bool withRate = desc.mSampleRate != 0.0;
    char line[kTextSize];
    std::printf("  %s\n", desc.AsString(line, sizeof line));
    CAStreamBasicDescription::GetSimpleName(desc, line, sizeof line, true, withRate);
    std::printf("  %s\n", line);
    CAStreamBasicDescription::GetSimpleName(desc, line, sizeof line, false, withRate);
    std::printf("  %s\n", line);
    return true;
}

// Describes the texts among `arguments`: those before "--" that do not begin with "-", and all
// after it. Any other argument is a usage error, found before anything is described.
int describeArguments(int count, char** arguments)
{
    std::vector<const char*> texts;
    bool optionsEnded = false;
    for (int i = 0; i < count; ++i) {
        const std::string_view argument = arguments[i];
        if (optionsEnded || !argument.starts_with('-'))
            texts.push_back(arguments[i]);
        else if (argument == "--")
            optionsEnded = true;
        else
            return usageError(isCommand(argument) ? "a command comes first, alone: " : "unknown option: ", argument);
    }
    bool allParsed = true;
    for (const char* text : texts)
        allParsed = describe(text) && allParsed;
    return allParsed ? 0 : 1;
}

int describeLines(std::istream& in)
{
    bool allParsed = true;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        allParsed = describe(line.c_str()) && allParsed;
    }
    return allParsed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return describeLines(std::cin);

    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version" || command == "--file-types" || command == "--infer") {
        const bool infer = command == "--infer";
        if (argc != (infer ? 3 : 2))
            return usageError("wrong number of arguments for ", command);
        if (infer)
            return printInferredFileType(argv[2], stdout);
        if (command == "--file-types")
            return printFileTypes(stdout);
        std::printf("asbd %s\n", BRENNICK_VERSION);
        return 0;
    }
    return describeArguments(argc - 1, argv + 1);
}
