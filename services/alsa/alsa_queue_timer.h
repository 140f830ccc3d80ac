#pragma once
// The timer a sequencer queue follows.

#include <alsa/asoundlib.h>

namespace brennick {

// Sets `queue` to follow the kernel's high-resolution timer (snd-hrtimer), ticking `ticksPerSecond`
// times a second; where the kernel has no such timer the queue keeps the one it had. False then.
bool useHighResolutionTimer(snd_seq_t* seq, int queue, unsigned ticksPerSecond);

}  // namespace brennick
