#include "toolkit/ca_file_path_utils.h"

#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

void FSRef::reset() noexcept
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

namespace {

std::string_view withoutTrailingSlashes(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path;
}

}  // namespace

OSStatus PosixPathToParentFSRefAndName(const char* path, FSRef& outParent, CFString& outName)
{
    outParent.reset();
    if (!path) {
        outName = CFString();
        return fnfErr;
    }
    const std::string_view whole = withoutTrailingSlashes(path);
    const std::size_t slash = whole.rfind('/');
    const std::string_view nameBytes = slash == std::string_view::npos ? whole : whole.substr(slash + 1);

    // A name that is not text cannot take part in text operations later on; it is refused
    // rather than silently altered, and shown with replacement characters.
    const std::optional<CFString> text = CFString::fromUTF8(std::string_view(path));
    CFString name = text ? *CFString::fromUTF8(nameBytes) : CFString::fromBytesLossy(nameBytes);
    if (whole == "/")
        name = *CFString::fromUTF8("/");
    name.replaceAll(':', '/');
    outName = std::move(name);

    if (!text || whole.empty() || whole == "/")
        return fnfErr;
    std::string_view parentView =
        slash == std::string_view::npos ? "." : withoutTrailingSlashes(whole.substr(0, slash));
    if (parentView.empty())
        parentView = "/";
    const std::string parent(parentView);
    const int fd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fnfErr;
    outParent = FSRef(fd);
    return 0;
}
