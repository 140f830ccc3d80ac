#include "platform/property_list.h"

#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/binary_property_list_check.h"
#include "platform/plist_node.h"

namespace brennick {

namespace {

using plist_node::kPlistEpochMSecs;
using plist_node::MallocPtr;
using plist_node::PlistPtr;

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

}  // namespace

std::optional<QVariantMap> readPropertyListDictionaryFromBytes(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxPropertyListBytes)
        return std::nullopt;
    if (plist_is_binary(bytes.constData(), static_cast<uint32_t>(bytes.size()))) {
        if (!binaryPropertyListIsSafe(bytes))
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

std::optional<QVariantMap> readPropertyListDictionary(const QString& path, QString* problem)
{
    const auto refuse = [problem](const QString& why) -> std::optional<QVariantMap> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    // Non-blocking open and a regular-file check: a FIFO put in place of the file must not hang
    // the caller, nor a device feed it without end.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    QFile file;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(QStringLiteral("not a regular file"));
    }
    // One byte past the bound tells a file at the bound from a larger one, even if it grows.
    const QByteArray bytes = file.read(kMaxPropertyListBytes + 1);
    if (bytes.size() > kMaxPropertyListBytes)
        return refuse(QStringLiteral("larger than %1 MiB").arg(kMaxPropertyListBytes >> 20));
    std::optional<QVariantMap> dictionary = readPropertyListDictionaryFromBytes(bytes);
    if (!dictionary)
        return refuse(QStringLiteral("not a property list holding a dictionary, or a damaged one"));
    return dictionary;
}

}  // namespace brennick
