#pragma once
// Waiting on what gives no signal (a server's cycles, a queue's echo, a stop taken on another
// thread): checking it now and then, up to a deadline.

#include <algorithm>
#include <chrono>
#include <thread>

namespace brennick {

using Deadline = std::chrono::steady_clock::time_point;

// `seconds` from now; now for none or fewer.
inline Deadline deadlineAfter(double seconds)
{
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(std::max(0.0, seconds)));
}

// Checks `done` every `interval` until it holds (true) or `deadline` has passed (false); `done` is
// checked at least once.
template <typename Done>
bool pollUntil(Deadline deadline, std::chrono::milliseconds interval, Done&& done)
{
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(interval);
    }
}

}  // namespace brennick
