// Paths and file names: PosixPathToParentFSRefAndName on the bytes as a path (as given, or below a
// scratch folder with real subfolders), file type inference on them with the libsndfile catalogue
// and with a catalogue of awkward extensions, and the string comparison the catalogue sorts with.
// The first input byte picks the mode; the rest, cut at the first NUL, is the path.
#include "toolkit/ca_audio_file_formats.h"
#include "toolkit/ca_file_path_utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Made on first use and removed at exit; kept in storage that outlives the exit handlers.
const std::string& scratchFolder()
{
    static const std::string* root = [] {
        char pattern[] = "/tmp/fuzz_file_path_XXXXXX";
        check(mkdtemp(pattern) != nullptr);
        std::filesystem::create_directories(std::string(pattern) + "/a/b:c/d.e");
        const std::string* made = new std::string(pattern);
        std::atexit([] { std::filesystem::remove_all(scratchFolder()); });
        return made;
    }();
    return *root;
}

// Extensions that stress matching: empty, with a dot, non-ASCII, differing only in case.
struct AwkwardHost : AudioFileServices {
    static constexpr OSType kTypes[] = {fourCharCode("ONE "), fourCharCode("TWO ")};
    OSStatus getInfoSize(AudioFileQuery query, const AudioFileTypeAndFormatID&, UInt32& outBytes) override
    {
        outBytes = query == kAudioFileGlobalInfo_WritableTypes ? sizeof kTypes : 0;
        return 0;
    }
    OSStatus getInfo(AudioFileQuery query, const AudioFileTypeAndFormatID&, UInt32& ioBytes, void* out) override
    {
        if (query == kAudioFileGlobalInfo_WritableTypes) {
            ioBytes = std::min<UInt32>(ioBytes, sizeof kTypes);
            std::memcpy(out, kTypes, ioBytes);
        } else {
            ioBytes = 0;
        }
        return 0;
    }
    OSStatus getFileTypeName(AudioFileTypeID type, CFString& out) override
    {
        out = *CFString::fromUTF8(type == kTypes[0] ? "\xC3\x89t\xC3\xA9" : "\xC3\xA9TE");
        return 0;
    }
    OSStatus getFileTypeExtensions(AudioFileTypeID type, CFStringArray& out) override
    {
        out = type == kTypes[0] ? CFStringArray{*CFString::fromUTF8(""), *CFString::fromUTF8("tar.gz")}
                                : CFStringArray{*CFString::fromUTF8("\xC3\x89"), *CFString::fromUTF8("Mid")};
        return 0;
    }
};

void checkPath(const std::string& path)
{
    FSRef ref;
    CFString name;
    const OSStatus status = PosixPathToParentFSRefAndName(path.c_str(), ref, name);
    check(status == 0 || status == fnfErr);
    check(ref.isValid() == (status == 0));
    if (ref.isValid()) {
        struct stat info {};
        check(fstat(ref.fd(), &info) == 0 && S_ISDIR(info.st_mode));
    }
    check(CFString::fromUTF8(name.utf8()).has_value());  // always text
    check(name.utf8().find(':') == std::string::npos);
    // For text paths the name is the last component, in the host's naming form.
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (CFString::fromUTF8(path) && trimmed != "/") {
        std::string posixName = name.utf8();
        for (char& c : posixName)
            c = c == '/' ? ':' : c;
        check(trimmed.size() >= posixName.size() &&
              trimmed.compare(trimmed.size() - posixName.size(), posixName.size(), posixName) == 0);
        check(posixName.find('/') == std::string::npos);
    }
}

void checkInference(CAAudioFileFormats& catalogue, const std::string& fileName)
{
    AudioFileTypeID type = 0;
    const bool found = catalogue.InferFileFormatFromFilename(fileName.c_str(), type);
    if (!found) {
        check(type == 0);
        return;
    }
    const std::optional<CFString> text = CFString::fromUTF8(fileName);
    check(text.has_value());
    const CFString extension = text->substringFrom(text->findLast('.') + 1);
    check(catalogue.FindFileFormat(type) && catalogue.FindFileFormat(type)->MatchExtension(extension));
}

void checkComparison(const std::string& bytes)
{
    const std::size_t half = bytes.size() / 2;
    const CFString a = CFString::fromBytesLossy(std::string_view(bytes).substr(0, half));
    const CFString b = CFString::fromBytesLossy(std::string_view(bytes).substr(half));
    for (const unsigned options :
         {0u, unsigned(kCFCompareCaseInsensitive), unsigned(kCFCompareCaseInsensitive | kCFCompareLocalized)}) {
        check(CFStringCompare(a, b, options) == -CFStringCompare(b, a, options));  // the sort needs this
        check(CFStringCompare(a, a, options) == kCFCompareEqualTo);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CAAudioFileFormats* real = CAAudioFileFormats::Instance(false);
    static AwkwardHost awkwardHost;
    static CAAudioFileFormats awkward(true, awkwardHost);
    if (size == 0)
        return 0;
    std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
    path.resize(std::strlen(path.c_str()));
    if (data[0] & 1)
        path = scratchFolder() + "/" + path;

    checkPath(path);
    checkInference(*real, path);
    checkInference(awkward, path);
    checkComparison(path);
    return 0;
}
