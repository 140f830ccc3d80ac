// What the audio file catalogue's first query costs: it builds the answers from libsndfile, which
// tries a small write of every format sf_format_check accepts. Baselines measured in the same run:
// starting this program (exec to exit: loading libsndfile and its codec libraries), which every
// tool built on the toolkit pays anyway, and asking sf_format_check about every format, the least
// any catalogue read from libsndfile costs. Also the same query again, once the answers are built.
//
// Each measurement runs in a child process of its own (a fork taken before this process asks
// libsndfile anything), so every first query starts cold. The query is the one `asbd --infer`
// makes: the file type of "x.mp3" and a data format for it.
//
//   bench_catalogue_first_query [runs]   (default 20)
#include "toolkit/ca_audio_file_formats.h"

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// Process CPU time, not wall time: on a machine shared with other work, wall time measures the
// neighbours.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Returns the number of accepted formats, so the sweep cannot be optimised away.
int checkEveryFormat()
{
    int majorCount = 0, subtypeCount = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majorCount, sizeof majorCount);
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypeCount, sizeof subtypeCount);
    int accepted = 0;
    for (int i = 0; i < majorCount; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        for (int j = 0; j < subtypeCount; ++j) {
            SF_FORMAT_INFO subtype{};
            subtype.format = j;
            sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &subtype, sizeof subtype);
            for (const int order : {0, int(SF_ENDIAN_LITTLE), int(SF_ENDIAN_BIG)}) {
                SF_INFO info{};
                info.samplerate = 48000;
                info.channels = 1;
                info.format = major.format | subtype.format | order;
                accepted += sf_format_check(&info) == SF_TRUE;
            }
        }
    }
    return accepted;
}

bool inferForMp3()
{
    CAAudioFileFormats& catalogue = *CAAudioFileFormats::Instance();
    AudioFileTypeID fileType = 0;
    AudioStreamBasicDescription format{};
    return catalogue.InferFileFormatFromFilename("x.mp3", fileType) &&
           catalogue.InferDataFormatFromFileFormat(fileType, format);
}

// CPU time of this program run again with "--exit", from exec to exit.
bool startSeconds(double& out)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/proc/self/exe", "bench_catalogue_first_query", "--exit", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    out = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return true;
}

struct Sample {
    double startSeconds = 0;
    double sweepSeconds = 0;
    double firstSeconds = 0;
    double againSeconds = 0;
};

// Runs `measure` in a child process and reads back the seconds it reports.
template <typename Measure> bool inChild(Measure measure, double (&seconds)[2])
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        double result[2] = {-1, -1};
        measure(result);
        const bool sent = ::write(fds[1], result, sizeof result) == ssize_t(sizeof result);
        ::_exit(sent && result[0] >= 0 ? 0 : 1);
    }
    ::close(fds[1]);
    const bool read = ::read(fds[0], seconds, sizeof seconds) == ssize_t(sizeof seconds);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool sample(Sample& out)
{
    double sweep[2] = {}, query[2] = {};
    const bool swept = inChild(
        [](double(&result)[2]) {
            const double start = cpuSeconds();
            if (checkEveryFormat() > 0)
                result[0] = cpuSeconds() - start;
        },
        sweep);
    const bool queried = inChild(
        [](double(&result)[2]) {
            double start = cpuSeconds();
            if (!inferForMp3())
                return;
            result[0] = cpuSeconds() - start;
            start = cpuSeconds();
            if (inferForMp3())
                result[1] = cpuSeconds() - start;
        },
        query);
    double start = 0;
    const bool started = startSeconds(start);
    out = {start, sweep[0], query[0], query[1]};
    return started && swept && queried;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--exit") == 0)
        return 0;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::vector<double> starts, sweeps, firsts, agains;
    for (int i = 0; i < runs; ++i) {  // in turns, so drift in the machine's speed shifts all alike
        Sample s;
        if (!sample(s)) {
            std::fprintf(stderr, "a measurement failed\n");
            return 1;
        }
        starts.push_back(s.startSeconds);
        sweeps.push_back(s.sweepSeconds);
        firsts.push_back(s.firstSeconds);
        agains.push_back(s.againSeconds);
    }
    const double start = median(starts), sweep = median(sweeps), first = median(firsts), again = median(agains);
    std::printf("catalogue first query, medians of %d cold processes (CPU time):\n", runs);
    std::printf("  %-44s %9.2f ms\n", "program start, exec to exit (base)", start * 1e3);
    std::printf("  %-44s %9.2f ms\n", "sf_format_check of every format (floor)", sweep * 1e3);
    std::printf("  %-44s %9.2f ms  %.2f x program start\n", "first query: x.mp3's file type and format", first * 1e3,
                first / start);
    std::printf("  %-44s %9.2f us\n", "the same query again", again * 1e6);
    return 0;
}
