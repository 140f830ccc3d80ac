#pragma once
// This process's standard error, captured while the object lives, byte for byte.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace brennick::test {

class CapturedStandardError {
public:
    CapturedStandardError()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = ::dup(STDERR_FILENO);
        if (file_ != nullptr)
            ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~CapturedStandardError()
    {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
        if (file_ != nullptr)
            std::fclose(file_);
    }
    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;

    // Everything written to standard error since the capture began.
    std::string text() const
    {
        std::fflush(stderr);
        std::string out;
        char buffer[4096];
        ssize_t n = 0;
        while (file_ != nullptr && (n = ::pread(::fileno(file_), buffer, sizeof buffer, off_t(out.size()))) > 0)
            out.append(buffer, std::size_t(n));
        return out;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

}  // namespace brennick::test
