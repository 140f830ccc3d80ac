// asbd: reads stream format texts and shows how the toolkit describes them.
//
//   asbd [--] TEXT...     each TEXT, e.g. "F32@44100,2" or "aac@44100#1024"
//   asbd                  one text per line of standard input (blank lines are skipped)
//   asbd --help           the syntax of format texts
//   asbd --file-types     the audio file types this machine can write, with their data formats
//   asbd --infer NAME     the file type that NAME's extension names, and a data format for it
//
// For each text it prints the text, then the record's one-line description and its abbreviated
// and long names; a text that does not parse gets the parser's messages and the syntax on standard
// error. The exit status is 0 when every text parsed, 1 otherwise, 2 for a usage error.
#include "toolkit/ca_stream_basic_description.h"
#include "toolkit/tools/asbd_catalogue.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr std::size_t kTextSize = 512;

void printUsage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: asbd [--] FORMAT_TEXT...   (or one text per line on standard input)\n"
                 "       asbd --file-types\n"
                 "       asbd --infer FILENAME\n%s",
                 CAStreamBasicDescription::sTextParsingUsageString);
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

int describeArguments(int count, char** texts)
{
    bool allParsed = true;
    for (int i = 0; i < count; ++i)
        allParsed = describe(texts[i]) && allParsed;
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

    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        printUsage(stdout);
        return 0;
    }
    if (std::strcmp(command, "--") == 0)
        return describeArguments(argc - 2, argv + 2);

    // Format texts may begin with "-" ("-BEF32"), so commands are matched first; "--" ends them.
    if (std::strcmp(command, "--file-types") == 0 || std::strcmp(command, "--infer") == 0) {
        const bool infer = command[2] == 'i';
        if (argc != (infer ? 3 : 2)) {
            printUsage(stderr);
            return 2;
        }
        return infer ? printInferredFileType(argv[2], stdout) : printFileTypes(stdout);
    }

    return describeArguments(argc - 1, argv + 1);
}
