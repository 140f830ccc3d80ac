#include "platform/property_list.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brennick {

namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochMSecs = 978307200LL * 1000;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using MallocPtr = std::unique_ptr<T, MallocDeleter>;

// ---- Pre-checks: the library recurses once per nesting level when it parses a binary list and
// when it frees any tree (also a partial one after a parse error), so deep nesting must be turned
// away before it sees the bytes.

bool isNameChar(unsigned char c)
{
    return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool startsWithAt(const QByteArray& bytes, qsizetype at, const char* word, bool caseInsensitive)
{
    const auto length = static_cast<qsizetype>(std::strlen(word));
    if (at + length > bytes.size())
        return false;
    const char* p = bytes.constData() + at;
    return caseInsensitive ? qstrnicmp(p, word, static_cast<uint>(length)) == 0
                           : std::memcmp(p, word, static_cast<std::size_t>(length)) == 0;
}

// A NUL character, literal or as a character reference, would end up inside a string or key, on
// which the library aborts (it asserts the length of what it hands out).
bool xmlContainsNul(const QByteArray& bytes)
{
    if (bytes.contains('\0'))
        return true;
    for (qsizetype at = bytes.indexOf("&#"); at >= 0; at = bytes.indexOf("&#", at + 2)) {
        qsizetype i = at + 2;
        const bool hex = i < bytes.size() && (bytes[i] == 'x' || bytes[i] == 'X');
        if (hex)
            ++i;
        const qsizetype digitsStart = i;
        bool allZero = true;
        while (i < bytes.size() && (hex ? std::isxdigit(static_cast<unsigned char>(bytes[i]))
                                        : std::isdigit(static_cast<unsigned char>(bytes[i])))) {
            allZero = allZero && bytes[i] == '0';
            ++i;
        }
        if (i > digitsStart && allZero)
            return true;
    }
    return false;
}

// Upper bound on the container nesting of an XML list. Errs high: opening tags count wherever they
// appear (also inside comments and CDATA, and in any letter case), closing tags only outside them.
bool xmlNestingWithinLimit(const QByteArray& bytes)
{
    static const char* const kContainers[] = {"array", "dict", "plist"};
    int depth = 0;
    bool insideHiddenSection = false;
    QByteArray hiddenSectionEnd;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (insideHiddenSection && startsWithAt(bytes, i, hiddenSectionEnd.constData(), false)) {
            insideHiddenSection = false;
            i += hiddenSectionEnd.size() - 1;
            continue;
        }
        if (bytes[i] != '<')
            continue;
        if (!insideHiddenSection && startsWithAt(bytes, i, "<!--", false)) {
            insideHiddenSection = true;
            hiddenSectionEnd = "-->";
            i += 3;
            continue;
        }
        if (!insideHiddenSection && startsWithAt(bytes, i, "<![CDATA[", false)) {
            insideHiddenSection = true;
            hiddenSectionEnd = "]]>";
            i += 8;
            continue;
        }
        const bool closing = i + 1 < bytes.size() && bytes[i + 1] == '/';
        const qsizetype nameAt = i + (closing ? 2 : 1);
        for (const char* name : kContainers) {
            const auto nameLength = static_cast<qsizetype>(std::strlen(name));
            if (!startsWithAt(bytes, nameAt, name, !closing))
                continue;
            const qsizetype after = nameAt + nameLength;
            if (after < bytes.size() && isNameChar(static_cast<unsigned char>(bytes[after])))
                continue;
            if (closing) {
                if (!insideHiddenSection)
                    depth = std::max(0, depth - 1);
            } else {
                // Stop at the next '<' too, so the look-ahead stays linear over the whole text.
                qsizetype tagEnd = after;
                while (tagEnd < bytes.size() && bytes[tagEnd] != '>' && bytes[tagEnd] != '<')
                    ++tagEnd;
                const bool selfClosing = tagEnd < bytes.size() && bytes[tagEnd] == '>' && bytes[tagEnd - 1] == '/';
                if (!selfClosing && ++depth > kMaxPropertyListDepth + 1)  // + the <plist> element
                    return false;
            }
            break;
        }
    }
    return true;
}

// Checks the object graph of a binary list: the trailer and offset table in range, every reference
// to an existing object, no cycles, nesting within the limit, and a tree that stays a modest size
// once shared objects are copied out (the library copies every shared object at each use).
class BinaryListCheck {
public:
    explicit BinaryListCheck(const QByteArray& bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.constData())),
          size_(static_cast<std::uint64_t>(bytes.size()))
    {
    }

    bool ok()
    {
        constexpr std::uint64_t kHeader = 8, kTrailer = 32;
        if (size_ < kHeader + kTrailer)
            return false;
        const std::uint64_t trailer = size_ - kTrailer;
        offsetSize_ = data_[trailer + 6];
        refSize_ = data_[trailer + 7];
        objectCount_ = readBigEndian(trailer + 8, 8);
        const std::uint64_t root = readBigEndian(trailer + 16, 8);
        offsetTable_ = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return false;
        if (objectCount_ == 0 || root >= objectCount_ || offsetTable_ < kHeader || offsetTable_ > trailer ||
            objectCount_ > (trailer - offsetTable_) / offsetSize_)
            return false;
        objectsEnd_ = trailer;
        state_.assign(objectCount_, State{});
        return walk(root);
    }

private:
    static constexpr std::uint32_t kMaxExpandedNodes = 1u << 20;
    static constexpr std::uint64_t kMaxExpandedBytes = 64u << 20;

    struct State {
        std::uint8_t mark = 0;    // 0 unseen, 1 on the current path, 2 done
        std::uint8_t height = 0;  // container levels below and including this object
        std::uint32_t nodes = 0;
        std::uint64_t bytes = 0;
    };
    struct Object {
        bool container = false;
        std::uint64_t payloadBytes = 0;
        std::uint64_t refsAt = 0;
        std::uint64_t refCount = 0;
    };
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0;
    };

    std::uint64_t readBigEndian(std::uint64_t at, unsigned width) const
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | data_[at + i];
        return value;
    }

    // The library aborts on a string or key with a NUL inside (it asserts its length), so such
    // lists are refused before it sees them.
    bool containsNul(std::uint64_t at, std::uint64_t units, unsigned unitBytes) const
    {
        for (std::uint64_t i = 0; i < units; ++i) {
            if (readBigEndian(at + i * unitBytes, unitBytes) == 0)
                return true;
        }
        return false;
    }

    std::optional<Object> parseObject(std::uint64_t index) const
    {
        const std::uint64_t entry = offsetTable_ + index * offsetSize_;
        const std::uint64_t at = readBigEndian(entry, offsetSize_);
        if (at < 8 || at >= objectsEnd_)
            return std::nullopt;
        const unsigned type = data_[at] >> 4;
        const unsigned info = data_[at] & 0x0F;
        std::uint64_t pos = at + 1;
        auto count = [&]() -> std::optional<std::uint64_t> {
            if (info != 0x0F)
                return info;
            if (pos >= objectsEnd_ || (data_[pos] >> 4) != 0x1)
                return std::nullopt;
            const unsigned width = 1u << (data_[pos] & 0x0F);
            if (width > 16 || pos + 1 + width > objectsEnd_)
                return std::nullopt;
            const std::uint64_t value = readBigEndian(pos + 1 + (width > 8 ? width - 8 : 0), std::min(width, 8u));
            pos += 1 + width;
            return value;
        };
        Object object;
        switch (type) {
        case 0x4: {  // data
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.payloadBytes = *n;
            break;
        }
        case 0x5:    // ASCII string
        case 0x6: {  // UTF-16 string
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.payloadBytes = type == 0x6 ? *n * 2 : *n;
            if (object.payloadBytes > objectsEnd_ - pos || containsNul(pos, *n, type == 0x6 ? 2 : 1))
                return std::nullopt;
            break;
        }
        case 0xA:    // array
        case 0xC:    // set
        case 0xD: {  // dictionary: keys, then values
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.container = true;
            object.refCount = type == 0xD ? *n * 2 : *n;
            object.refsAt = pos;
            if (object.refCount > (objectsEnd_ - pos) / refSize_)
                return std::nullopt;
            break;
        }
        default:  // scalars have a fixed, small size
            object.payloadBytes = 16;
            break;
        }
        return object;
    }

    bool walk(std::uint64_t root)
    {
        std::vector<Frame> path;
        auto enter = [&](std::uint64_t index) -> bool {
            const auto object = parseObject(index);
            if (!object)
                return false;
            State& s = state_[index];
            s.mark = 1;
            s.nodes = 1;
            s.bytes = object->payloadBytes + 16;
            if (object->container && path.size() + 1 > kMaxPropertyListDepth)
                return false;
            path.push_back(Frame{index, *object});
            return true;
        };
        if (!enter(root))
            return false;
        while (!path.empty()) {
            Frame& frame = path.back();
            if (frame.next < frame.object.refCount) {
                const std::uint64_t child = readBigEndian(frame.object.refsAt + frame.next * refSize_, refSize_);
                ++frame.next;
                if (child >= objectCount_)
                    return false;
                const State& c = state_[child];
                if (c.mark == 1)
                    return false;  // a cycle
                if (c.mark == 2) {
                    if (path.size() + c.height > kMaxPropertyListDepth)
                        return false;
                    if (!addChild(state_[frame.index], c))
                        return false;
                    continue;
                }
                if (!enter(child))
                    return false;
                continue;
            }
            State& done = state_[frame.index];
            done.mark = 2;
            done.height = static_cast<std::uint8_t>(done.height + (frame.object.container ? 1 : 0));
            path.pop_back();
            if (!path.empty() && !addChild(state_[path.back().index], done))
                return false;
        }
        return true;
    }

    static bool addChild(State& parent, const State& child)
    {
        parent.height = std::max(parent.height, child.height);
        if (child.nodes > kMaxExpandedNodes - parent.nodes || child.bytes > kMaxExpandedBytes - parent.bytes)
            return false;
        parent.nodes += child.nodes;
        parent.bytes += child.bytes;
        return true;
    }

    const unsigned char* data_;
    std::uint64_t size_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t offsetTable_ = 0;
    std::uint64_t objectsEnd_ = 0;
    std::vector<State> state_;
};

// ---- Conversion of a parsed tree.

std::optional<QVariant> toVariant(plist_t node, int depth);

std::optional<QVariantMap> dictToMap(plist_t dict, int depth)
{
    if (depth > kMaxPropertyListDepth)
        return std::nullopt;
    QVariantMap map;
    plist_dict_iter rawIter = nullptr;
    plist_dict_new_iter(dict, &rawIter);
    MallocPtr<void> iter(rawIter);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter.get(), &rawKey, &value);
        MallocPtr<char> key(rawKey);
        if (!value)
            break;
        auto converted = toVariant(value, depth);
        if (!converted || !key)
            return std::nullopt;
        map.insert(QString::fromUtf8(key.get()), *converted);
    }
    return map;
}

QVariant integerValue(plist_t node)
{
    std::uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    if (raw <= static_cast<std::uint64_t>(std::numeric_limits<qint64>::max()))
        return QVariant::fromValue(static_cast<qint64>(raw));
    // The library keeps negative and large unsigned integers in the same 64 bits and tells them
    // apart only when it writes them out; ask it which one this is.
    char* rawXml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &rawXml, &length);
    MallocPtr<char> xml(rawXml);
    const bool negative = xml && QByteArray(xml.get(), length).contains("<integer>-");
    if (negative)
        return QVariant::fromValue(static_cast<qint64>(raw));
    return QVariant::fromValue(static_cast<quint64>(raw));
}

std::optional<QVariant> toVariant(plist_t node, int depth)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: return integerValue(node);
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text || length > static_cast<uint64_t>(kMaxPropertyListBytes) * 4)
            return std::nullopt;
        return QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length)));
    }
    case PLIST_DATE: {
        int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        const qint64 msecs = kPlistEpochMSecs + qint64(seconds) * 1000 + microseconds / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc()));
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        MallocPtr<char> bytes(raw);
        if (length > static_cast<uint64_t>(kMaxPropertyListBytes) * 4)
            return std::nullopt;
        return QVariant(QByteArray(bytes.get(), static_cast<qsizetype>(length)));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant::fromValue(static_cast<quint64>(value));
    }
    case PLIST_ARRAY: {
        if (depth + 1 > kMaxPropertyListDepth)
            return std::nullopt;
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size; ++i) {
            auto item = toVariant(plist_array_get_item(node, i), depth + 1);
            if (!item)
                return std::nullopt;
            list.append(*item);
        }
        return QVariant(list);
    }
    case PLIST_DICT: {
        auto map = dictToMap(node, depth + 1);
        if (!map)
            return std::nullopt;
        return QVariant(*map);
    }
    default: return std::nullopt;
    }
}

// Parsing and freeing run on a thread with a large stack: the library's recursion per nesting
// level is the one thing the pre-checks bound only indirectly for XML.
struct ParseJob {
    const QByteArray* bytes;
    std::optional<QVariantMap> result;
};

void* parseOnLargeStack(void* argument)
{
    auto* job = static_cast<ParseJob*>(argument);
    plist_t raw = nullptr;
    plist_from_memory(job->bytes->constData(), static_cast<uint32_t>(job->bytes->size()), &raw);
    PlistPtr root(raw);
    if (root && plist_get_node_type(root.get()) == PLIST_DICT)
        job->result = dictToMap(root.get(), 1);
    return nullptr;
}

// ---- Writing.

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth);

std::optional<PlistPtr> mapToDict(const QVariantMap& map, int depth)
{
    if (depth > kMaxPropertyListDepth)
        return std::nullopt;
    PlistPtr dict(plist_new_dict());
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        auto item = fromVariant(it.value(), depth);
        if (!item)
            return std::nullopt;
        plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item->release());
    }
    return dict;
}

PlistPtr largeUnsigned(quint64 value)
{
    // The library writes a 64-bit value above the signed range as negative unless the node came
    // from parsed text, which marks it unsigned.
    const QByteArray xml = "<plist><integer>" + QByteArray::number(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &node);
    return PlistPtr(node);
}

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth)
{
    switch (value.typeId()) {
    case QMetaType::Bool: return PlistPtr(plist_new_bool(value.toBool() ? 1 : 0));
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::SChar: return PlistPtr(plist_new_uint(static_cast<uint64_t>(value.toLongLong())));
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::UChar: {
        const quint64 unsignedValue = value.toULongLong();
        if (unsignedValue > static_cast<quint64>(std::numeric_limits<qint64>::max())) {
            PlistPtr node = largeUnsigned(unsignedValue);
            if (!node)
                return std::nullopt;
            return node;
        }
        return PlistPtr(plist_new_uint(unsignedValue));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double real = value.toDouble();
        if (!std::isfinite(real))
            return std::nullopt;
        return PlistPtr(plist_new_real(real));
    }
    case QMetaType::QString: return PlistPtr(plist_new_string(value.toString().toUtf8().constData()));
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return PlistPtr(plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size())));
    }
    case QMetaType::QDateTime: {
        const QDateTime time = value.toDateTime();
        if (!time.isValid())
            return std::nullopt;
        const qint64 msecs = time.toMSecsSinceEpoch() - kPlistEpochMSecs;
        const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
        const qint64 remainderMSecs = msecs - seconds * 1000;
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return PlistPtr(plist_new_date(static_cast<int32_t>(seconds), static_cast<int32_t>(remainderMSecs * 1000)));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        if (depth + 1 > kMaxPropertyListDepth)
            return std::nullopt;
        PlistPtr array(plist_new_array());
        for (const QVariant& element : value.toList()) {
            auto item = fromVariant(element, depth + 1);
            if (!item)
                return std::nullopt;
            plist_array_append_item(array.get(), item->release());
        }
        return array;
    }
    case QMetaType::QVariantMap: return mapToDict(value.toMap(), depth + 1);
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return mapToDict(map, depth + 1);
    }
    default: return std::nullopt;
    }
}

mode_t currentUmask()
{
    // Reading the mask through umask(2) would change it for a moment for every thread.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        while (!status.atEnd()) {
            const QByteArray line = status.readLine();
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return static_cast<mode_t>(mask & 0777);
            }
        }
    }
    return 022;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// ---- Saving: where the bytes go, and how they replace the old file in one step.

// Longest chain of symbolic links followed, the kernel's own limit for one path lookup.
constexpr int kMaxLinkHops = 40;
// How long a save waits for another process's save into the same folder to finish.
constexpr int kFolderLockWaitMs = 1000;
constexpr int kFolderLockRetryMs = 10;
// Temporary names are ".<file name>." plus this many letters and digits, as mkstemp(3) makes them.
constexpr int kTemporarySuffixLength = 6;

struct SaveTarget {
    QByteArray folder;
    QByteArray name;
};

SaveTarget splitPath(const QByteArray& absolutePath)
{
    const qsizetype slash = absolutePath.lastIndexOf('/');
    return {slash == 0 ? QByteArray("/") : absolutePath.left(slash), absolutePath.mid(slash + 1)};
}

// A link is followed only when it belongs to the saving user or to the owner of its folder: the
// rule the kernel applies in sticky world-writable folders. So in a folder shared with others, a
// link someone else planted cannot turn our save into a replacement of another file of ours.
bool mayFollowLink(const struct stat& link, const QByteArray& folder)
{
    if (link.st_uid == ::geteuid())
        return true;
    struct stat folderInfo {};
    return ::stat(folder.constData(), &folderInfo) == 0 && folderInfo.st_uid == link.st_uid;
}

// The file `absolutePath` names once its symbolic links are followed. It need not exist: a dangling
// link names the file a save creates. nullopt for a loop, a chain longer than kMaxLinkHops, or a
// link that may not be followed.
std::optional<SaveTarget> followLinks(QByteArray path)
{
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0) {
            if (errno != ENOENT)
                return std::nullopt;
            break;
        }
        if (!S_ISLNK(info.st_mode))
            break;
        const QByteArray folder = splitPath(path).folder;
        if (hops == kMaxLinkHops || !mayFollowLink(info, folder))
            return std::nullopt;
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), static_cast<std::size_t>(target.size()));
        if (length <= 0 || length >= target.size())
            return std::nullopt;
        target.truncate(length);
        path = target.startsWith('/') ? target : folder + '/' + target;
    }
    SaveTarget target = splitPath(path);
    if (target.name.isEmpty() || target.name == "." || target.name == "..")
        return std::nullopt;
    return target;
}

// The folder a save writes into, open and, when it can be had in time, locked against other
// processes' saves. Every save takes the lock, so while we hold it a temporary file of ours in the
// folder belongs to a save that was killed. The lock goes when the folder is closed, also when
// the process dies.
class SaveFolder {
public:
    explicit SaveFolder(const QByteArray& path) : fd_(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ < 0)
            return;
        for (int waitedMs = 0; !locked_; waitedMs += kFolderLockRetryMs) {
            locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
            if (locked_ || errno != EWOULDBLOCK || waitedMs >= kFolderLockWaitMs)
                break;
            ::usleep(kFolderLockRetryMs * 1000);
        }
    }
    ~SaveFolder()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SaveFolder(const SaveFolder&) = delete;
    SaveFolder& operator=(const SaveFolder&) = delete;

    int fd() const { return fd_; }
    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

bool isTemporaryNameOf(const char* entry, const QByteArray& name)
{
    const QByteArray prefix = '.' + name + '.';
    const std::size_t length = std::strlen(entry);
    if (length != static_cast<std::size_t>(prefix.size()) + kTemporarySuffixLength ||
        std::memcmp(entry, prefix.constData(), static_cast<std::size_t>(prefix.size())) != 0)
        return false;
    return std::all_of(entry + prefix.size(), entry + length, [](char c) { return std::isalnum(uchar(c)) != 0; });
}

QByteArray temporaryNameOf(const QByteArray& name)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray temporary = '.' + name + '.';
    for (int i = 0; i < kTemporarySuffixLength; ++i)
        temporary += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
    return temporary;
}

// Removes temporary files that killed saves left under our name pattern; only regular files.
void removeStaleTemporaries(int folderFd, const QByteArray& name)
{
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (isTemporaryNameOf(entry->d_name, name) &&
            ::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

bool fillAndSync(int fd, const QByteArray& bytes, mode_t mode)
{
    ::fchmod(fd, mode);  // best effort: a file system without modes keeps its own
    return writeAll(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) && ::fsync(fd) == 0;
}

// Moves a temporary file over the target; removes the temporary when that fails.
bool replaceWith(int folderFd, const QByteArray& temporary, const QByteArray& name)
{
    if (::renameat(folderFd, temporary.constData(), folderFd, name.constData()) == 0)
        return true;
    ::unlinkat(folderFd, temporary.constData(), 0);
    return false;
}

// Gives the unnamed file `fd` the name `name` in the folder; 0 or the errno of the failure.
int linkUnnamed(int fd, int folderFd, const QByteArray& name)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), folderFd, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno == EEXIST)
        return EEXIST;
    // Without /proc this works for a process allowed to link any open file.
    return ::linkat(fd, "", folderFd, name.constData(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

enum class SaveResult { Saved, Failed, Unsupported };

// The file is written without a name (O_TMPFILE), so a save killed before it is complete leaves
// nothing behind. A missing target gets the name directly; an existing one is replaced through a
// temporary name, the only moment a kill can leave a stray, which the next save removes.
SaveResult saveUnnamed(int folderFd, const QByteArray& name, const QByteArray& bytes, mode_t mode)
{
    const int fd = ::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return SaveResult::Unsupported;
    if (!fillAndSync(fd, bytes, mode)) {
        ::close(fd);
        return SaveResult::Failed;
    }
    int linked = linkUnnamed(fd, folderFd, name);
    QByteArray temporary;
    for (int attempt = 0; linked == EEXIST && attempt < 100; ++attempt) {
        temporary = temporaryNameOf(name);
        linked = linkUnnamed(fd, folderFd, temporary);
    }
    ::close(fd);
    if (linked != 0)
        return SaveResult::Unsupported;
    if (temporary.isEmpty())
        return SaveResult::Saved;
    return replaceWith(folderFd, temporary, name) ? SaveResult::Saved : SaveResult::Failed;
}

// For file systems without O_TMPFILE: a named temporary file, renamed over the target.
bool saveNamed(int folderFd, const QByteArray& name, const QByteArray& bytes, mode_t mode)
{
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = temporaryNameOf(name);
        fd = ::openat(folderFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    const bool written = fillAndSync(fd, bytes, mode);
    if (::close(fd) != 0 || !written) {
        ::unlinkat(folderFd, temporary.constData(), 0);
        return false;
    }
    return replaceWith(folderFd, temporary, name);
}

}  // namespace

std::optional<QVariantMap> readPropertyListDictionaryFromBytes(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxPropertyListBytes)
        return std::nullopt;
    if (plist_is_binary(bytes.constData(), static_cast<uint32_t>(bytes.size()))) {
        if (!BinaryListCheck(bytes).ok())
            return std::nullopt;
    } else if (xmlContainsNul(bytes) || !xmlNestingWithinLimit(bytes)) {
        return std::nullopt;
    }

    ParseJob job{&bytes, std::nullopt};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return std::nullopt;
    pthread_attr_setstacksize(&attributes, std::size_t{64} << 20);
    pthread_t thread;
    const int started = pthread_create(&thread, &attributes, parseOnLargeStack, &job);
    pthread_attr_destroy(&attributes);
    if (started != 0)
        return std::nullopt;
    pthread_join(thread, nullptr);
    return std::move(job.result);
}

std::optional<QVariantMap> readPropertyListDictionary(const QString& path)
{
    // Non-blocking open and a regular-file check: a FIFO put in place of the file must not hang
    // the caller, nor a device feed it without end.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    QFile file;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    // One byte past the bound tells a file at the bound from a larger one, even if it grows.
    const QByteArray bytes = file.read(kMaxPropertyListBytes + 1);
    if (bytes.size() > kMaxPropertyListBytes)
        return std::nullopt;
    return readPropertyListDictionaryFromBytes(bytes);
}

bool writePropertyListDictionaryAtomically(const QString& path, const QVariantMap& dict)
{
    if (QFileInfo(path).fileName().isEmpty())
        return false;

    QByteArray xml;
    {
        auto root = mapToDict(dict, 1);
        if (!root)
            return false;
        char* raw = nullptr;
        uint32_t length = 0;
        plist_to_xml(root->get(), &raw, &length);
        MallocPtr<char> text(raw);
        if (!text)
            return false;
        xml = QByteArray(text.get(), length);
    }

    const std::optional<SaveTarget> target = followLinks(QFile::encodeName(QFileInfo(path).absoluteFilePath()));
    if (!target)
        return false;
    const SaveFolder folder(target->folder);
    if (folder.fd() < 0)
        return false;
    if (folder.locked())
        removeStaleTemporaries(folder.fd(), target->name);

    struct stat existing {};
    const mode_t mode = ::fstatat(folder.fd(), target->name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                                S_ISREG(existing.st_mode)
                            ? (existing.st_mode & 07777)
                            : (0666 & ~currentUmask());

    SaveResult result = saveUnnamed(folder.fd(), target->name, xml, mode);
    if (result == SaveResult::Unsupported)
        result = saveNamed(folder.fd(), target->name, xml, mode) ? SaveResult::Saved : SaveResult::Failed;
    if (result != SaveResult::Saved)
        return false;
    // Makes the new name itself durable. The new file is in place either way; some file systems
    // do not sync folders, so this is not a failure of the write.
    ::fsync(folder.fd());
    return true;
}

}  // namespace brennick
