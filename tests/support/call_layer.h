#pragma once
// Driving the MIDI call layer the way the player does, for tests and benchmarks of every backend.

#include <unistd.h>

#include <cstdint>
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

}  // namespace brennick::test
