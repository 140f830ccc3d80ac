#pragma once
// Driving the MIDI call layer the way the player does, for tests and benchmarks of every backend.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "services/music_services.h"

namespace brennick::test {

// Writes `bytes` to a new file in the temporary folder; `tag` makes the name recognisable.
inline std::string writeTempFile(const std::vector<std::uint8_t>& bytes, const std::string& tag)
{
    static int serial = 0;
    const auto path = std::filesystem::temp_directory_path() /
                      ("brennick-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".mid");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path.string();
}

// The index of the destination whose display name is `name`, or -1.
inline long destinationNamed(const std::string& name)
{
    const ItemCount count = MIDIGetNumberOfDestinations();
    for (ItemCount i = 0; i < count; ++i) {
        std::string display;
        if (MIDIObjectGetStringProperty(MIDIGetDestination(i), kMIDIPropertyDisplayName, &display) == 0 &&
            display == name)
            return long(i);
    }
    return -1;
}

// A new sequence holding the file at `path`; the status of the load.
inline OSStatus loadSequenceFromPath(const std::string& path, MusicSequence* outSequence)
{
    *outSequence = nullptr;
    if (const OSStatus status = NewMusicSequence(outSequence); status != 0)
        return status;
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()), CFIndex(path.size()), false);
    const OSStatus status = MusicSequenceFileLoad(*outSequence, url, kMusicSequenceFile_AnyType, 0);
    if (url != nullptr)
        CFRelease(url);
    return status;
}

// A new sequence holding `bytes`, loaded through a temporary file; the status of the load.
inline OSStatus loadSequence(const std::vector<std::uint8_t>& bytes, MusicSequence* outSequence)
{
    const std::string path = writeTempFile(bytes, "sequence");
    const OSStatus status = loadSequenceFromPath(path, outSequence);
    std::filesystem::remove(path);
    return status;
}

// Loads `bytes` and starts it on the destination named `name` at the given pacing, tempo and
// looping, the way the player does; with `after`, where that player's song ends; `releaseAtEnd` as
// MusicPlayerSetReleaseAtEnd. Null when a step fails, the step said on standard error.
inline MusicPlayer play(const std::vector<std::uint8_t>& bytes, const std::string& name, SInt32 bytesPerSecond = 60000,
                        SInt32 pauseMs = 0, double rate = 1.0, bool looping = false, MusicPlayer after = nullptr,
                        bool releaseAtEnd = false)
{
    MusicPlayer player = nullptr;
    const auto failed = [&](const char* step) -> MusicPlayer {
        std::fprintf(stderr, "playing on %s: %s failed\n", name.c_str(), step);
        DisposeMusicPlayer(player);
        return nullptr;
    };
    MusicSequence sequence = nullptr;
    if (loadSequence(bytes, &sequence) != 0)
        return failed("loading the file");
    const long index = destinationNamed(name);
    if (index < 0)
        return failed("finding the destination");
    const MIDIEndpointRef destination = MIDIGetDestination(ItemCount(index));
    if (MIDIObjectSetIntegerProperty(destination, kMIDIPropertyMaxSysExSpeed, bytesPerSecond) != 0 ||
        MIDIObjectSetIntegerProperty(destination, kMIDIPropertySysExPause, pauseMs) != 0)
        return failed("pacing");
    if (MusicSequenceSetMIDIEndpoint(sequence, destination) != 0 || NewMusicPlayer(&player) != 0 ||
        MusicPlayerSetSequence(player, sequence) != 0 ||
        (rate != 1.0 && MusicPlayerSetPlayRateScalar(player, rate) != 0) ||
        (looping && MusicPlayerSetLooping(player, true) != 0) ||
        (releaseAtEnd && MusicPlayerSetReleaseAtEnd(player, true) != 0) ||
        (after != nullptr ? MusicPlayerStartAfter(player, after) : MusicPlayerStart(player)) != 0)
        return failed("starting");
    return player;
}

}  // namespace brennick::test
