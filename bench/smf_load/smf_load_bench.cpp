// How fast a Standard MIDI File becomes playable, as the user waits for it: from opening the file
// until its first message can go out (ready to play: the file read, its model byte found, its
// tracks checked and measured, the stream cursor at its first message), and until every message
// has come out of the cursor with its time (the whole song's cost); the reader alone; the peak
// memory of playing it; the time to release it. Baselines measured in the same run: libsmf
// (smf_load and a walk of every event), Python's mido (MidiFile and an iteration of every message)
// and merely reading the file.
//
// Each load runs in a child process of its own (this program run again), so peak memory is its own
// and every loader starts from the same state: a program that has just opened the file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model_table.h"
#include "services/smf_reader.h"
#include "services/stream_cursor.h"
#include "bench/smf_load/bench_songs.h"

#ifdef BRENNICK_HAVE_LIBSMF
#include <smf.h>
#endif

namespace {

using brennick::bench::bigFile;
using brennick::bench::sysexFile;
// Process CPU time, not wall time: on a machine shared with other work, wall time measures the
// neighbours. The loaders are single-threaded, so on an idle machine the two agree.
struct Clock {
    using time_point = double;
    static double now()
    {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
    }
};

double secondsSince(double start)
{
    return Clock::now() - start;
}

// --- Loaders (run in the child) ---------------------------------------------------------------

struct Measurement {
    double loadSeconds = 0;     // median
    double releaseSeconds = 0;  // median
    double peakBytes = 0;       // growth of the resident set during the first load
    std::size_t messages = 0;
    double checksum = 0;
};

long residentBytes()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

long peakResidentBytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss * 1024L;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs `once` (which returns load and release seconds) once: each child process loads the file
// once, as the player does when it opens a file, so every loader obtains its memory from the system
// as a program that opens a file does. (Repeated loads in one process would time whatever memory the
// allocator kept from the previous run, which favours the loaders that allocate least.)
template <class Once> Measurement measure(Once once)
{
    Measurement m;
    const auto [load, release] = once(m, &m.peakBytes);
    m.loadSeconds = load;
    m.releaseSeconds = release;
    return m;
}

// The floor: open, size, allocate, one read, close.
Measurement measureRead(const char* path)
{
    return measure([&](Measurement& m, double* peak) {
        const long before = residentBytes();
        const auto start = Clock::now();
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        struct stat info;
        ::fstat(fd, &info);
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[info.st_size]);
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(info.st_size)) {
            const ssize_t n = ::read(fd, buffer.get() + got, info.st_size - got);
            if (n <= 0)
                break;
            got += n;
        }
        ::close(fd);
        const double load = secondsSince(start);
        if (peak)
            *peak = static_cast<double>(peakResidentBytes() - before);
        m.checksum += buffer[got / 2];
        const auto releaseStart = Clock::now();
        buffer.reset();
        return std::pair{load, secondsSince(releaseStart)};
    });
}

// What the player does with a file before and while it plays, up to `stage`: "reader" reads and
// checks it; "ready" also finds its model byte and sets the stream cursor at the first message;
// "whole" then takes every message out of the cursor with its time, as playing does.
Measurement measureOurs(const char* path, const std::string& stage)
{
    return measure([&](Measurement& m, double* peak) {
        const long before = residentBytes();
        const auto start = Clock::now();
        brennick::FileReadResult file = brennick::readWholeFile(path);
        std::uint64_t checksum = 0;
        if (stage != "reader")
            checksum += brennick::scanModelByte(file.bytes.span());
        auto result = std::make_unique<brennick::SmfReadResult>(brennick::readSequenceFile(std::move(file.bytes)));
        std::size_t count = 0;
        for (std::size_t t = 0; t < result->sequence.trackCount(); ++t)
            count += result->sequence.track(t).size();
        std::unique_ptr<brennick::StreamCursor> cursor;
        if (stage != "reader") {
            cursor = std::make_unique<brennick::StreamCursor>(
                std::make_shared<const brennick::Sequence>(std::move(result->sequence)),
                brennick::SysExPacing{60000.0, 0.0});
            if (const brennick::StreamEvent* first = cursor->peek(0.0, 1024))
                checksum += first->size();
        }
        if (stage == "whole") {
            // Every time and size goes into the checksum. XOR, not a floating-point sum: a sum's
            // latency chain would time the checksum rather than the walk.
            count = 0;
            while (const brennick::StreamEvent* e = cursor->peek(1e300, 1 << 20)) {
                checksum ^= std::bit_cast<std::uint64_t>(e->seconds) + e->size();
                cursor->advance();
                ++count;
            }
        }
        const double load = secondsSince(start);
        if (peak)
            *peak = static_cast<double>(peakResidentBytes() - before);
        if (result->status != brennick::SmfStatus::Complete)
            std::fprintf(stderr, "our reader: status %d at %zu\n", static_cast<int>(result->status),
                         result->problemOffset);
        m.messages = count;
        m.checksum = static_cast<double>(checksum);
        const auto releaseStart = Clock::now();
        cursor.reset();
        result.reset();
        return std::pair{load, secondsSince(releaseStart)};
    });
}

#ifdef BRENNICK_HAVE_LIBSMF
// `timeRelease` false: the sequence is left for the process's end (libsmf takes seconds to free it).
Measurement measureLibsmf(const char* path, bool timeRelease)
{
    return measure([&](Measurement& m, double* peak) {
        const long before = residentBytes();
        const auto start = Clock::now();
        smf_t* smf = smf_load(path);
        double sum = 0;
        std::size_t count = 0;
        if (smf) {
            while (smf_event_t* event = smf_get_next_event(smf)) {
                sum += event->time_seconds + event->midi_buffer[0];
                ++count;
            }
        }
        const double load = secondsSince(start);
        if (peak)
            *peak = static_cast<double>(peakResidentBytes() - before);
        m.messages = count;
        m.checksum = sum;
        if (!timeRelease)
            return std::pair{load, 0.0};
        const auto releaseStart = Clock::now();
        if (smf)
            smf_delete(smf);
        return std::pair{load, secondsSince(releaseStart)};
    });
}
#endif

// --- Parent -----------------------------------------------------------------------------------

struct Row {
    std::string name;
    bool available = false;
    Measurement m;
};

bool runChild(const std::string& self, const std::string& loader, const std::string& path, Measurement& out)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        if (loader.starts_with("libsmf")) {  // it warns about every oddity on standard error
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
        }
        ::execl(self.c_str(), self.c_str(), "--child", loader.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(text.c_str(), "%lf %lf %lf %zu %lf", &out.loadSeconds, &out.releaseSeconds, &out.peakBytes,
                       &out.messages, &out.checksum) == 5;
}

// The medians of `runs` child processes of each loader, taken in turns: a machine whose speed drifts
// during the run (other work, frequency changes) then shifts every loader alike. A loader whose child
// fails is left out from then on and reported as not available.
std::vector<std::optional<Measurement>> runChildrenInTurns(const std::string& self,
                                                           const std::vector<std::string>& loaders,
                                                           const std::string& path, int runs)
{
    const std::size_t n = loaders.size();
    std::vector<std::vector<double>> loads(n), releases(n), peaks(n);
    std::vector<std::optional<Measurement>> out(n, Measurement{});
    for (int i = 0; i < runs; ++i) {
        for (std::size_t l = 0; l < n; ++l) {
            Measurement m;
            if (!out[l] || !runChild(self, loaders[l], path, m)) {
                out[l].reset();
                continue;
            }
            loads[l].push_back(m.loadSeconds);
            releases[l].push_back(m.releaseSeconds);
            peaks[l].push_back(m.peakBytes);
            out[l] = m;
        }
    }
    for (std::size_t l = 0; l < n; ++l) {
        if (!out[l])
            continue;
        out[l]->loadSeconds = median(loads[l]);
        out[l]->releaseSeconds = median(releases[l]);
        out[l]->peakBytes = median(peaks[l]);
    }
    return out;
}

const char* kMidoScript = R"(
import resource, sys, time
import mido
def resident():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()
before = resident()
start = time.process_time()
song = mido.MidiFile(sys.argv[1])
count, total = 0, 0.0
for message in song:  # times come tempo-mapped, in seconds
    total += message.time
    count += 1
load = time.process_time() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
start = time.process_time()
del song
release = time.process_time() - start
print(load, release, peak, count, total)
)";

bool runMido(const std::string& path, Measurement& out)
{
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        const std::string command = std::string(python) + " -c \"import mido\" 2>/dev/null";
        if (std::system(command.c_str()) != 0)
            continue;
        const std::string script = (std::filesystem::path(path).parent_path() / "load.py").string();
        std::ofstream(script) << kMidoScript;
        FILE* p = ::popen((std::string(python) + " " + script + " " + path).c_str(), "r");
        if (!p)
            return false;
        char line[512] = {};
        const bool ok = std::fgets(line, sizeof line, p) != nullptr;
        ::pclose(p);
        return ok && std::sscanf(line, "%lf %lf %lf %zu %lf", &out.loadSeconds, &out.releaseSeconds, &out.peakBytes,
                                 &out.messages, &out.checksum) == 5;
    }
    return false;
}

constexpr int kRuns = 15;  // processes each for the floor, ours and libsmf's load; mido takes minutes

// `withBaselines`: also libsmf and mido, which take minutes.
void report(const std::string& title, const std::string& self, const std::string& path, bool withBaselines)
{
    const double fileBytes = static_cast<double>(std::filesystem::file_size(path));
    enum { kRead, kReader, kReady, kWhole, kLibsmf, kMido, kRows };
    std::vector<Row> rows(kRows);
    rows[kRead].name = "read file (floor)";
    rows[kReader].name = "our reader alone";
    rows[kReady].name = "ready to play";
    rows[kWhole].name = "whole song";
    rows[kLibsmf].name = "libsmf";
    rows[kMido].name = "mido";
    // libsmf's loads join the turns; its release, which takes seconds, is timed once.
    std::vector<std::string> loaders{"read", "reader", "ready", "whole"};
#ifdef BRENNICK_HAVE_LIBSMF
    if (withBaselines)
        loaders.push_back("libsmf-load");
#endif
    const auto inTurns = runChildrenInTurns(self, loaders, path, kRuns);
    for (std::size_t l = kRead; l <= kWhole; ++l)
        if ((rows[l].available = inTurns[l].has_value()))
            rows[l].m = *inTurns[l];
#ifdef BRENNICK_HAVE_LIBSMF
    rows[kLibsmf].available = withBaselines && inTurns[kLibsmf] && runChild(self, "libsmf", path, rows[kLibsmf].m);
    if (rows[kLibsmf].available)
        rows[kLibsmf].m.loadSeconds = inTurns[kLibsmf]->loadSeconds;
#endif
    rows[kMido].available = withBaselines && runMido(path, rows[kMido].m);

    std::printf("\n%s: %.2f MB\n", title.c_str(), fileBytes / 1e6);
    std::printf("  %-18s %12s %12s %12s %10s\n", "loader", "time", "release", "peak memory", "messages");
    for (const Row& r : rows) {
        if (!r.available) {
            std::printf("  %-18s not available\n", r.name.c_str());
            continue;
        }
        std::printf("  %-18s %9.2f ms %9.2f ms %9.1f MB %10zu\n", r.name.c_str(), r.m.loadSeconds * 1e3,
                    r.m.releaseSeconds * 1e3, r.m.peakBytes / 1e6, r.m.messages);
    }
    if (!rows[kReady].available || !rows[kWhole].available || !rows[kRead].available) {
        std::printf("  our reader failed\n");
        return;
    }
    auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
    const Measurement& ready = rows[kReady].m;
    const Measurement& whole = rows[kWhole].m;
    if (rows[kLibsmf].available) {
        const double x = rows[kLibsmf].m.loadSeconds / ready.loadSeconds;
        std::printf("  ready to play vs libsmf:   %7.1fx faster     (target >= 25x: %s)\n", x, verdict(x >= 25));
        std::printf("  reader alone vs libsmf:    %7.1fx faster\n",
                    rows[kLibsmf].m.loadSeconds / rows[kReader].m.loadSeconds);
        std::printf("  memory vs libsmf:          %7.1fx less\n",
                    rows[kLibsmf].m.peakBytes / std::max(whole.peakBytes, 1.0));
    }
    if (rows[kMido].available)
        std::printf("  whole song vs mido:        %7.1fx faster\n", rows[kMido].m.loadSeconds / whole.loadSeconds);
    const double floorRatio = whole.loadSeconds / rows[kRead].m.loadSeconds;
    std::printf("  whole song vs reading:     %7.1fx the floor  (target <= 8x: %s)\n", floorRatio,
                verdict(floorRatio <= 8));
    // The file is held whole while it plays, so the peak holds it; a growth measured a little under
    // its size (memory the process had before) still counts it once.
    const double perMessage = std::max(whole.peakBytes, fileBytes) / std::max<double>(double(whole.messages), 1.0);
    std::printf("  peak memory playing:       %7.1f bytes a message, file included (target <= 24: %s)\n", perMessage,
                verdict(perMessage <= 24));
    std::printf("  release vs whole song:     %7.3fx            (target <= 1x: %s)\n",
                whole.releaseSeconds / whole.loadSeconds, verdict(whole.releaseSeconds <= whole.loadSeconds));
}

int child(const std::string& loader, const char* path)
{
    Measurement m;
    if (loader == "read")
        m = measureRead(path);
    else if (loader == "reader" || loader == "ready" || loader == "whole")
        m = measureOurs(path, loader);
#ifdef BRENNICK_HAVE_LIBSMF
    else if (loader == "libsmf" || loader == "libsmf-load")
        m = measureLibsmf(path, loader == "libsmf");
#endif
    else
        return 2;
    std::printf("%.9f %.9f %.0f %zu %.6f\n", m.loadSeconds, m.releaseSeconds, m.peakBytes, m.messages, m.checksum);
    return 0;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return child(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--write-files") == 0) {  // to look at them by hand
        writeFile(std::filesystem::path(argv[2]) / "notes_tempo.mid", bigFile(100000));
        writeFile(std::filesystem::path(argv[2]) / "notes_sysex.mid", sysexFile());
        return 0;
    }

    // --quick: the floor and ours only, for a look while working on the reader.
    const bool withBaselines = !(argc == 2 && std::strcmp(argv[1], "--quick") == 0);
    if (argc > 1 && withBaselines) {
        std::fprintf(stderr, "usage: %s [--quick | --write-files DIR]\n", argv[0]);
        return 2;
    }

    char dirTemplate[] = "/tmp/bench_smf_load_XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir(dirTemplate);
    writeFile(dir / "notes_tempo.mid", bigFile(100000));
    writeFile(dir / "notes_sysex.mid", sysexFile());
    writeFile(dir / "notes_25mb.mid", bigFile(500000));
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

    std::printf("Song loading and playing, CPU time from opening the file (one load per fresh process, as\n");
    std::printf("when the player opens a file; median of %d processes of each, taken in turns; mido and\n", kRuns);
    std::printf("libsmf's release: 1, they take minutes), peak resident growth, release time.\n");
    report("format 1, 16 tracks, notes with running status, controllers, a few tempo changes", self,
           (dir / "notes_tempo.mid").string(), withBaselines);
    report("notes with a large SysEx dump at the end", self, (dir / "notes_sysex.mid").string(), withBaselines);
    report("a 25 MB song (ours only)", self, (dir / "notes_25mb.mid").string(), false);
    std::filesystem::remove_all(dir);
    return 0;
}
