#pragma once
// Reading a whole file the player was asked to play: only regular files, never more than the
// machine can afford to hold, at any path length.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace brennick {

// A file's contents, owned.
struct FileBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    std::span<const std::uint8_t> span() const noexcept { return {data.get(), size}; }
};

enum class FileReadError {
    None,
    NotFound,          // no such file (or a folder on the way is missing)
    PermissionDenied,  // the file or a folder on the way may not be read
    NotRegularFile,    // a folder, FIFO, device or socket: never opened, so nothing blocks or happens
    TooLarge,          // larger than maxReadableFileBytes()
    OutOfMemory,
    ReadFailed,  // any other failure of the system
};

struct FileReadResult {
    FileBytes bytes;
    FileReadError error = FileReadError::None;
};

// No MIDI or SysEx file comes near this: a larger one is refused rather than read.
inline constexpr std::uint64_t kMaxPlayableFileBytes = 512ull << 20;

// The largest file the player reads on a machine with `physicalMemoryBytes` of memory: a song costs
// about its own size to hold while it plays, and no file may take more than a quarter of the memory.
std::uint64_t maxReadableFileBytes(std::uint64_t physicalMemoryBytes) noexcept;
// The same for this machine.
std::uint64_t maxReadableFileBytes() noexcept;

// Reads the file at `path` (the path's bytes as the system takes them; longer than PATH_MAX is
// fine) with one read where it can. A file that shrinks while read gives what is there.
FileReadResult readWholeFile(const std::string& path, std::uint64_t maxBytes = maxReadableFileBytes()) noexcept;

// Opens a regular file for reading (O_NONBLOCK, close-on-exec) at any path length; -1 with errno set
// otherwise (EINVAL for a file that is not a regular one, which is not opened).
int openRegularFile(const std::string& path) noexcept;

// A short description for the user ("no such file", "too large", ...).
const char* describe(FileReadError error) noexcept;

}  // namespace brennick
