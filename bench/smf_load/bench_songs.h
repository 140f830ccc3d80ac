#pragma once
// The benchmark's songs, made the same on every run (a fixed pseudo-random sequence).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brennick::bench {

// A song of 15 tracks of `perTrack` messages each and an ordinary conductor track: a few tempo
// changes over the song.
std::vector<std::uint8_t> bigFile(std::size_t perTrack);

// Notes with a 300 kB SysEx message at the end.
std::vector<std::uint8_t> sysexFile();

}  // namespace brennick::bench
