#pragma once
// Splits a POSIX path into an owning reference to its parent folder and the file's name.

#include "toolkit/audio_stream_basic_description.h"
#include "toolkit/cf_types.h"

// Status of a path whose parent folder cannot be referred to.
constexpr OSStatus fnfErr = -43;

// An owning reference to an existing folder: an O_PATH | O_DIRECTORY file descriptor, closed when
// the reference is destroyed or replaced. Movable, not copyable.
class FSRef {
public:
    FSRef() noexcept = default;
    // Takes ownership of `fd` (-1 for none).
    explicit FSRef(int fd) noexcept : mFd(fd) {}
    ~FSRef() { reset(); }

    FSRef(FSRef&& other) noexcept : mFd(other.release()) {}
    FSRef& operator=(FSRef&& other) noexcept
    {
        if (this != &other) {
            reset();
            mFd = other.release();
        }
        return *this;
    }
    FSRef(const FSRef&) = delete;
    FSRef& operator=(const FSRef&) = delete;

    // Whether it refers to a folder.
    bool isValid() const noexcept { return mFd >= 0; }
    // The descriptor (for openat and friends), or -1; still owned by this reference.
    int fd() const noexcept { return mFd; }
    // Closes the descriptor, if any.
    void reset() noexcept;
    // Gives up ownership and returns the descriptor, or -1.
    int release() noexcept
    {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }

private:
    int mFd = -1;
};

// Sets `outParent` to the folder holding `path`'s last component and `outName` to that component
// with every ":" replaced by "/" (the host's naming form). Trailing slashes are ignored ("a/b/"
// names "b" in "a"); a path without a slash names a file in the current folder; "." and ".."
// are taken literally as names. Returns 0, or fnfErr (-43) with `outParent` empty when the parent
// is not an existing folder that can be opened. The name is produced in both cases.
// Results without a parent: "/" and "" (root and the empty path have none), and a null path
// (name ""). A path that is not valid UTF-8 is refused with fnfErr, its name given for display
// only, each invalid byte replaced by U+FFFD.
OSStatus PosixPathToParentFSRefAndName(const char* path, FSRef& outParent, CFString& outName);
