// Which synth model a file was made for: the model byte of its first Brennick SysEx message.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "app/app_delegate.h"

namespace brennick {

const char* const brennickDevices[kBrennickDeviceCount] = {
    "Lumen", "Portico", "Tessel",  "Orrin", "Fennel",  "Brisa",   "Calyx",      "Ostrel", "Yarrow",
    "Vireo", "Sorrel",  "Kestra",  "",      "",        "Lumen 2", "Vell/Vell+", "Pellam", "Drover",
    "Nixie", "Carrow",  "Ilmarch", "Tovey", "Kestra2", "Quillon", "Gavot",      "Merrow",
};

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kBrennickManufacturer = 0x3E;
constexpr std::uint8_t kNoModel = 0xFF;
constexpr int kNoModelRow = 13;

class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::uint8_t scanModelByte(const QString& path)
{
    // Only regular files are read: a FIFO or a device could block or never end.
    ScopedFd fd(::open(path.toUtf8().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return kNoModel;

    // The bytes are visited as (byte, next byte) pairs, so the file's last byte is never a scan
    // position but can still be the byte after a 3E. The scan ends at the first F7, wherever it is.
    std::uint8_t model = kNoModel;
    bool sysexSeen = false;
    bool havePrevious = false;
    std::uint8_t previous = 0;
    std::array<std::uint8_t, 64 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n <= 0)
            return model;  // end of file, or a read error: what was scanned stands
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t next = buffer[std::size_t(i)];
            if (havePrevious) {
                if (previous == kSysExEnd)
                    return model;
                if (previous == kSysExStart)
                    sysexSeen = true;
                if (sysexSeen && previous == kBrennickManufacturer)
                    model = next;
            }
            previous = next;
            havePrevious = true;
        }
    }
}

QString AppDelegate::checkSysexDestination(const QString& path)
{
    const std::uint8_t model = scanModelByte(path);
    const int row = model < kBrennickDeviceCount ? model : kNoModelRow;
    return QString::fromLatin1(brennickDevices[row]);
}

}  // namespace brennick
