// Which synth model a file was made for: the model byte of its first Brennick SysEx message.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "app/app_delegate.h"
#include "app/model_table.h"
#include "platform/local_path.h"
#include "services/file_bytes.h"

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
constexpr int kNoModelRow = 13;

// The scan over bytes that may arrive in pieces. The bytes are visited as (byte, next byte) pairs,
// so the last byte is never a scan position but can still be the byte after a 3E. The scan ends
// at the first F7, wherever it is.
class ModelByteScanner {
public:
    // False once the scan has ended.
    bool feed(std::span<const std::uint8_t> bytes)
    {
        for (const std::uint8_t next : bytes) {
            if (havePrevious_) {
                if (previous_ == kSysExEnd)
                    return false;
                if (previous_ == kSysExStart)
                    sysexSeen_ = true;
                if (sysexSeen_ && previous_ == kBrennickManufacturer)
                    model_ = next;
            }
            previous_ = next;
            havePrevious_ = true;
        }
        return true;
    }
    std::uint8_t model() const { return model_; }

private:
    std::uint8_t model_ = kNoModelByte;
    bool sysexSeen_ = false;
    bool havePrevious_ = false;
    std::uint8_t previous_ = 0;
};

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

QString modelNameForByte(std::uint8_t modelByte)
{
    const int row = modelByte < kBrennickDeviceCount ? modelByte : kNoModelRow;
    return QString::fromLatin1(brennickDevices[row]);
}

std::uint8_t scanModelByte(std::span<const std::uint8_t> bytes)
{
    ModelByteScanner scanner;
    scanner.feed(bytes);
    return scanner.model();
}

std::uint8_t scanModelByte(const QString& path)
{
    // Only regular files are read: a FIFO or a device could block or never end.
    ScopedFd fd(openRegularFile(encodeLocalPath(path).toStdString()));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || std::uint64_t(info.st_size) > maxReadableFileBytes())
        return kNoModelByte;

    ModelByteScanner scanner;
    std::array<std::uint8_t, 64 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        // End of file, or a read error: what was scanned stands.
        if (n <= 0 || !scanner.feed(std::span(buffer.data(), std::size_t(n))))
            return scanner.model();
    }
}

QString AppDelegate::checkSysexDestination(const QString& path)
{
    return modelNameForByte(scanModelByte(path));
}

}  // namespace brennick
