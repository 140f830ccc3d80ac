// Format texts through FromText, then the parsed record through its text forms with buffers of
// several sizes: a cut text must be a terminated prefix of the whole one, and nothing may be
// written past the size given. Buffers are heap blocks of the exact size so overruns are caught.
#include "toolkit/ca_ostype_text.h"
#include "toolkit/ca_stream_basic_description.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kWholeSize = 1024;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

template <typename Write> void checkCut(const std::string& whole, std::size_t size, Write write)
{
    std::unique_ptr<char[]> buffer(new char[size == 0 ? 1 : size]);
    const char guard = '\x5A';
    std::memset(buffer.get(), guard, size == 0 ? 1 : size);
    write(buffer.get(), size);
    if (size == 0) {
        check(buffer[0] == guard);
        return;
    }
    const std::string cut(buffer.get(), ::strnlen(buffer.get(), size));
    check(cut.size() < size);
    check(cut == whole.substr(0, size - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096)
        return 0;
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';

    CAStreamBasicDescription desc;
    const bool parsed = CAStreamBasicDescription::FromText(text.get(), desc);
    if (!parsed && (size % 2) == 0)
        return 0;  // half of the failed records are still written out below

    // The identifier's escaped form reads back as the same code.
    char escaped[kOSTypeToStrSize];
    OSType code = 0;
    check(StrToOSType(OSTypeToStr(escaped, desc.mFormatID), code) == static_cast<int>(std::strlen(escaped)));
    check(code == desc.mFormatID);

    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;

    char whole[kWholeSize];
    const std::string description = desc.AsString(whole, sizeof whole);
    check(description.size() < kWholeSize - 1);
    for (std::size_t cutSize : {std::size_t{0}, std::size_t{1}, std::size_t(hash % 64), std::size_t((hash >> 8) % 200)})
        checkCut(description, cutSize, [&](char* b, std::size_t n) { desc.AsString(b, n); });

    for (int form = 0; form < 4; ++form) {
        const bool abbreviate = (form & 1) != 0;
        const bool withRate = (form & 2) != 0;
        CAStreamBasicDescription::GetSimpleName(desc, whole, sizeof whole, abbreviate, withRate);
        const std::string name = whole;
        check(name.size() < kWholeSize - 1);
        for (std::size_t cutSize : {std::size_t{0}, std::size_t{1}, std::size_t((hash >> (16 + form)) % 120)})
            checkCut(name, cutSize, [&](char* b, std::size_t n) {
                CAStreamBasicDescription::GetSimpleName(desc, b, static_cast<UInt32>(n), abbreviate, withRate);
            });
    }

    // The record operations take any field values.
    CAStreamBasicDescription other(desc);
    CAStreamBasicDescription::FillOutFormat(
        other, CAStreamBasicDescription(44100.0, kAudioFormatLinearPCM, 4, 1, 4, 2, 16, 0xC));
    check(desc == desc || desc.mSampleRate != desc.mSampleRate);
    check(!(desc < desc));
    (void)SanityCheck(other);
    (void)desc.SampleWordSize();
    CAStreamBasicDescription::NormalizeLinearPCMFormat(other);
    return 0;
}
