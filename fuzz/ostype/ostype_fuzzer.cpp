// Four-character code texts: StrToOSType on a terminated heap copy of exactly the input (so a read
// past the terminator is caught), and the escaped form of any code read back as the same code.
#include "toolkit/ca_ostype_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkRoundTrip(OSType code)
{
    std::unique_ptr<char[]> escaped(new char[kOSTypeToStrSize]);
    OSTypeToStr(escaped.get(), code);
    const std::size_t length = std::strlen(escaped.get());
    check(length >= 4 && length <= 16);
    OSType read = 0;
    check(StrToOSType(escaped.get(), read) == static_cast<int>(length));
    check(read == code);

    std::unique_ptr<char[]> display(new char[kCAStringForOSTypeSize]);
    CAStringForOSType(code, display.get());
    const std::size_t displayLength = std::strlen(display.get());
    check(displayLength == 6 || displayLength == 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';

    const OSType untouched = 0xA5A5A5A5u;
    OSType code = untouched;
    const int consumed = StrToOSType(text.get(), code);
    const int length = static_cast<int>(std::strlen(text.get()));
    check(consumed >= 0 && consumed <= 16 && consumed <= length);
    if (consumed == 0) {
        check(code == untouched);
    } else {
        check(consumed >= 3);
        checkRoundTrip(code);
    }

    if (size >= 4) {
        OSType raw = 0;
        for (int i = 0; i < 4; ++i)
            raw = (raw << 8) | data[i];
        checkRoundTrip(raw);
    }
    return 0;
}
