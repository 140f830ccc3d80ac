#include "platform/local_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace brennick {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

bool isContinuation(uchar byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at `p` (n bytes left), 0 when it is ill-formed. The
// ranges of the second byte are those of the Unicode standard's table of well-formed sequences:
// they exclude overlong forms, surrogates and code points above U+10FFFF.
int wellFormedLength(const uchar* p, qsizetype n)
{
    const uchar lead = p[0];
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;
    if (lead < 0xE0)
        return n >= 2 && isContinuation(p[1]) ? 2 : 0;
    if (lead < 0xF0) {
        const uchar low = lead == 0xE0 ? 0xA0 : 0x80;
        const uchar high = lead == 0xED ? 0x9F : 0xBF;
        return n >= 3 && p[1] >= low && p[1] <= high && isContinuation(p[2]) ? 3 : 0;
    }
    if (lead < 0xF5) {
        const uchar low = lead == 0xF0 ? 0x90 : 0x80;
        const uchar high = lead == 0xF4 ? 0x8F : 0xBF;
        return n >= 4 && p[1] >= low && p[1] <= high && isContinuation(p[2]) && isContinuation(p[3]) ? 4 : 0;
    }
    return 0;
}

char32_t codePoint(const uchar* p, int length)
{
    switch (length) {
    case 1: return p[0];
    case 2: return char32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
    case 3: return char32_t(p[0] & 0x0F) << 12 | char32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    default:
        return char32_t(p[0] & 0x07) << 18 | char32_t(p[1] & 0x3F) << 12 | char32_t(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    }
}

void appendUtf8(QByteArray& out, char32_t c)
{
    if (c < 0x80) {
        out.append(char(c));
    } else if (c < 0x800) {
        out.append(char(0xC0 | c >> 6));
        out.append(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.append(char(0xE0 | c >> 12));
        out.append(char(0x80 | (c >> 6 & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    } else {
        out.append(char(0xF0 | c >> 18));
        out.append(char(0x80 | (c >> 12 & 0x3F)));
        out.append(char(0x80 | (c >> 6 & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" becomes its byte; a '%' not followed by two hex digits stays as it is.
QByteArray percentDecoded(QByteArrayView in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            out.append(char(hexValue(in[i + 1]) << 4 | hexValue(in[i + 2])));
            i += 2;
        } else {
            out.append(in[i]);
        }
    }
    return out;
}

}  // namespace

QString decodeLocalPath(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.data());
    const qsizetype n = bytes.size();
    QString out;
    out.reserve(n);
    for (qsizetype at = 0; at < n;) {
        const int length = wellFormedLength(p + at, n - at);
        if (length == 0) {
            out.append(QChar(char16_t(kEscapeBase + p[at])));
            ++at;
            continue;
        }
        const char32_t c = codePoint(p + at, length);
        if (QChar::requiresSurrogates(c)) {
            out.append(QChar(QChar::highSurrogate(c)));
            out.append(QChar(QChar::lowSurrogate(c)));
        } else {
            out.append(QChar(char16_t(c)));
        }
        at += length;
    }
    return out;
}

QByteArray encodeLocalPath(QStringView path)
{
    QByteArray out;
    out.reserve(path.size());
    const qsizetype n = path.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t unit = path[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < n && QChar::isLowSurrogate(path[i + 1].unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(unit, path[i + 1].unicode()));
            ++i;
        } else if (unit >= kFirstEscape && unit <= kLastEscape) {
            out.append(char(unit - kEscapeBase));
        } else if (QChar::isSurrogate(unit)) {
            appendUtf8(out, QChar::ReplacementCharacter);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

QString currentDirectoryPath()
{
    // getcwd with no buffer allocates what the path needs, also beyond PATH_MAX.
    const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    return cwd ? decodeLocalPath(cwd.get()) : QString();
}

bool localPathExists(const QString& path)
{
    const QByteArray bytes = encodeLocalPath(path);
    struct stat info {};
    return !bytes.isEmpty() && !bytes.contains('\0') && ::stat(bytes.constData(), &info) == 0;
}

std::optional<QString> localPathOfFileUrl(QStringView url)
{
    constexpr QLatin1StringView kScheme("file:");
    if (!url.startsWith(kScheme, Qt::CaseInsensitive))
        return std::nullopt;
    QByteArray rest = encodeLocalPath(url.mid(kScheme.size()));
    if (rest.startsWith("//")) {
        const qsizetype slash = rest.indexOf('/', 2);
        const QByteArray host = rest.mid(2, slash < 0 ? -1 : slash - 2);
        if (!host.isEmpty() && host.compare("localhost", Qt::CaseInsensitive) != 0)
            return std::nullopt;
        rest = slash < 0 ? QByteArray() : rest.mid(slash);
    }
    for (const char stop : {'?', '#'})  // a query or fragment is not part of the path
        if (const qsizetype at = rest.indexOf(stop); at >= 0)
            rest.truncate(at);
    const QByteArray path = percentDecoded(rest);
    if (path.isEmpty() || path.contains('\0'))
        return std::nullopt;
    return decodeLocalPath(path);
}

}  // namespace brennick
