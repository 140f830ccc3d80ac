#pragma once
// The process-wide playback state, touched only on the main thread.

#include <cstdint>

#include "services/music_services.h"

namespace brennick {

extern MusicPlayer player;  // the most recent player: every new request stops it
extern MusicPlayer Player;  // the player whose position the progress reads; set on success only
extern double SeqLen;       // length of Player's sequence, in beats
extern std::int32_t playerStarted;

// MusicPlayerStop, and a line on standard error when the stop ended a long SysEx early.
void stopPlayer(MusicPlayer p);

}  // namespace brennick
