#pragma once
// The program's clients of the ALSA sequencer: their name, and opening the one the streams go out
// from, with its queue.

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>

namespace brennick::alsa {

inline constexpr const char* kClientName = "Brennick MIDI Player";

struct SendingClient {
    snd_seq_t* seq = nullptr;
    int queue = -1;
    int syncPort = -1;  // where a stream's echo comes back, and the system announces ended connections
};

// Opens the client the streams go out from: a large output pool, one queue on the kernel's
// high-resolution timer where there is one, and the sync port. Nullopt when no sequencer answers
// (libasound is kept from saying so on standard error: here that is an expected answer).
std::optional<SendingClient> openSendingClient();

// The time of `queue` in nanoseconds; 0 when it cannot be read.
std::int64_t queueTimeNs(snd_seq_t* seq, int queue);

}  // namespace brennick::alsa
