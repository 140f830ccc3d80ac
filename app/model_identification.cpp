// Which synth model a file was made for: the model byte of its first Brennick SysEx message.

#include <cstring>

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

}  // namespace

QString modelNameForByte(std::uint8_t modelByte)
{
    const int row = modelByte < kBrennickDeviceCount ? modelByte : kNoModelRow;
    return QString::fromLatin1(brennickDevices[row]);
}

std::uint8_t scanModelByte(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 2)
        return kNoModelByte;
    // Scan positions run up to the second-last byte: the last is only ever the byte after a 3E. The
    // scan ends at the first F7 wherever it is; after the first F0 before it, the last 3E wins.
    const std::uint8_t* const begin = bytes.data();
    const std::uint8_t* const positionsEnd = begin + bytes.size() - 1;
    const void* firstEnd = std::memchr(begin, kSysExEnd, std::size_t(positionsEnd - begin));
    const std::uint8_t* const stop = firstEnd ? static_cast<const std::uint8_t*>(firstEnd) : positionsEnd;
    const void* start = std::memchr(begin, kSysExStart, std::size_t(stop - begin));
    if (start == nullptr)
        return kNoModelByte;
    const auto* from = static_cast<const std::uint8_t*>(start);
    const void* manufacturer = ::memrchr(from, kBrennickManufacturer, std::size_t(stop - from));
    return manufacturer ? static_cast<const std::uint8_t*>(manufacturer)[1] : kNoModelByte;
}

std::uint8_t scanModelByte(const QString& path)
{
    // Read as the player reads a file to play: only regular files (a FIFO or a device could block
    // or never end), never more than the player would take.
    const FileReadResult file = readWholeFile(encodeLocalPath(path).toStdString());
    return file.error == FileReadError::None ? scanModelByte(file.bytes.span()) : kNoModelByte;
}

QString AppDelegate::checkSysexDestination(const QString& path)
{
    return modelNameForByte(scanModelByte(path));
}

}  // namespace brennick
