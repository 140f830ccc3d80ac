#pragma once
// Figures of the running process, for tests and benchmarks of memory and thread growth.

#include <filesystem>
#include <fstream>
#include <string>

namespace brennick::test {

// Resident set size in KiB (VmRSS), or -1 when it cannot be read.
inline long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

inline int threadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

}  // namespace brennick::test
