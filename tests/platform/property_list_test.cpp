// Property-list files: what the reader makes of each kind of file, and that atomic writes never
// leave a damaged file behind, not even when the writer dies mid-save.
#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPoint>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>

#include <chrono>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brennick {
namespace {

QByteArray xmlPlist(const QByteArray& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

void appendBigEndian(QByteArray& out, quint64 value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A binary list from encoded objects; references inside them are 4 bytes wide, object 0 is the root.
QByteArray binaryPlist(const std::vector<QByteArray>& objects)
{
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    for (const QByteArray& object : objects) {
        offsets.push_back(static_cast<quint64>(out.size()));
        out.append(object);
    }
    const quint64 table = static_cast<quint64>(out.size());
    for (quint64 offset : offsets)
        appendBigEndian(out, offset, 4);
    out.append(QByteArray(6, '\0'));
    out.append(char(4));
    out.append(char(4));
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, table, 8);
    return out;
}

QByteArray arrayObject(const std::vector<quint32>& refs)
{
    QByteArray object(1, static_cast<char>(0xA0 | refs.size()));
    for (quint32 ref : refs)
        appendBigEndian(object, ref, 4);
    return object;
}

QByteArray writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return bytes;
}

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

struct ReadCase {
    const char* name;
    QByteArray bytes;
    std::optional<QVariantMap> expected;
};

class PropertyListReading : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PropertyListReading, ReadsWhatTheFileHolds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.plist"));
    writeFile(path, GetParam().bytes);
    const auto map = readPropertyListDictionary(path);
    ASSERT_EQ(map.has_value(), GetParam().expected.has_value());
    if (map) {
        EXPECT_EQ(*map, *GetParam().expected);
    }
}

QVariantMap one(const char* key, const QVariant& value)
{
    return QVariantMap{{QString::fromUtf8(key), value}};
}

std::vector<QByteArray> deepArrays(int levels)
{
    std::vector<QByteArray> objects;
    for (int i = 0; i < levels - 1; ++i)
        objects.push_back(arrayObject({static_cast<quint32>(i + 1)}));
    objects.push_back(arrayObject({}));
    return objects;
}

const ReadCase kReadCases[] = {
    {"Integer", xmlPlist("<dict><key>Quit on stop</key><integer>1</integer></dict>"), one("Quit on stop", qint64(1))},
    {"NegativeInteger", xmlPlist("<dict><key>n</key><integer>-7</integer></dict>"), one("n", qint64(-7))},
    {"LargestSigned", xmlPlist("<dict><key>n</key><integer>9223372036854775807</integer></dict>"),
     one("n", std::numeric_limits<qint64>::max())},
    {"LargeUnsignedStaysPositive", xmlPlist("<dict><key>n</key><integer>18446744073709551615</integer></dict>"),
     one("n", QVariant::fromValue(std::numeric_limits<quint64>::max()))},
    {"MostNegative", xmlPlist("<dict><key>n</key><integer>-9223372036854775808</integer></dict>"),
     one("n", std::numeric_limits<qint64>::min())},
    {"NumericString", xmlPlist("<dict><key>Quit on stop</key><string>1</string></dict>"),
     one("Quit on stop", QStringLiteral("1"))},
    {"Booleans", xmlPlist("<dict><key>t</key><true/><key>f</key><false/></dict>"),
     QVariantMap{{"t", true}, {"f", false}}},
    {"Real", xmlPlist("<dict><key>r</key><real>-2.5</real></dict>"), one("r", -2.5)},
    {"Data", xmlPlist("<dict><key>d</key><data>AAH+</data></dict>"), one("d", QByteArray("\x00\x01\xfe", 3))},
    {"Date", xmlPlist("<dict><key>d</key><date>2020-05-17T12:00:00Z</date></dict>"),
     one("d", QDateTime(QDate(2020, 5, 17), QTime(12, 0), QTimeZone::utc()))},
    {"Utf8String", xmlPlist("<dict><key>Größe</key><string>ä &amp; ö</string></dict>"),
     one("Größe", QString::fromUtf8("ä & ö"))},
    {"Array", xmlPlist("<dict><key>a</key><array><integer>1</integer><string>x</string></array></dict>"),
     one("a", QVariantList{qint64(1), QStringLiteral("x")})},
    {"NestedDict", xmlPlist("<dict><key>a</key><dict><key>b</key><dict><key>c</key><true/></dict></dict></dict>"),
     one("a", one("b", one("c", true)))},
    {"EmptyDict", xmlPlist("<dict/>"), QVariantMap{}},
    {"Binary",
     QByteArray::fromHex("62706c6973743030d2010203045c51756974206f6e2073746f70546e616d651001554c756d"
                         "656e080d1a1f210000000000000101000000000000000500000000000000000000000000"
                         "000027"),
     QVariantMap{{"Quit on stop", qint64(1)}, {"name", QStringLiteral("Lumen")}}},
    {"NotAPlist", QByteArray("Quit on stop = 1\n"), std::nullopt},
    {"EmptyFile", QByteArray(), std::nullopt},
    {"RootIsArray", xmlPlist("<array><integer>1</integer></array>"), std::nullopt},
    {"RootIsString", xmlPlist("<string>x</string>"), std::nullopt},
    {"Truncated", xmlPlist("<dict><key>a</key><integer>1</integer></dict>").left(60), std::nullopt},
    {"TooLarge", xmlPlist("<dict><key>pad</key><string>" + QByteArray(kMaxPropertyListBytes, 'x') + "</string></dict>"),
     std::nullopt},
    // Hostile shapes on which the parsing library itself would crash, hang or abort.
    {"DeepXmlNesting",
     xmlPlist("<dict><key>a</key>" + QByteArray("<array>").repeated(200000) + QByteArray("</array>").repeated(200000) +
              "</dict>"),
     std::nullopt},
    {"DeepUnclosedXml", xmlPlist(QByteArray("<array>").repeated(150000)), std::nullopt},
    {"NestingHiddenBehindComment",
     xmlPlist(QByteArray("<array>").repeated(300) + "<!--" + QByteArray("</array>").repeated(300) + "-->"),
     std::nullopt},
    {"NulCharacterReference", xmlPlist("<dict><key>a&#0;b</key><true/></dict>"), std::nullopt},
    {"DeepBinaryNesting", binaryPlist(deepArrays(100000)), std::nullopt},
    {"BinaryCycle", binaryPlist({arrayObject({1}), arrayObject({0})}), std::nullopt},
    {"BinaryReferenceOutOfRange", binaryPlist({arrayObject({5})}), std::nullopt},
    {"BinaryNulInKey",
     binaryPlist(
         {QByteArray("\xD1\x00\x00\x00\x01\x00\x00\x00\x02", 9), QByteArray("\x53k\0y", 4), QByteArray("\x09", 1)}),
     std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Files, PropertyListReading, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PropertyListReadingLimits, BinaryListSharingObjectsExponentiallyIsRefused)
{
    // Each array refers twice to the next: 64 objects that a tree copy would expand to 2^64 nodes.
    std::vector<QByteArray> objects;
    for (quint32 i = 0; i < 63; ++i)
        objects.push_back(arrayObject({i + 1, i + 1}));
    objects.push_back(arrayObject({}));
    QByteArray root = binaryPlist(objects);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(readPropertyListDictionaryFromBytes(root).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(PropertyListReadingLimits, SpecialFilesAreRefusedWithoutBlocking)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(readPropertyListDictionary(fifo).has_value());
    EXPECT_FALSE(readPropertyListDictionary(QStringLiteral("/dev/zero")).has_value());
    EXPECT_FALSE(readPropertyListDictionary(dir.path()).has_value());
    EXPECT_FALSE(readPropertyListDictionary(dir.filePath(QStringLiteral("missing"))).has_value());
}

TEST(PropertyListReadingLimits, ModerateNestingIsRead)
{
    QByteArray body = "<dict><key>a</key>" + QByteArray("<array>").repeated(kMaxPropertyListDepth - 1) +
                      QByteArray("</array>").repeated(kMaxPropertyListDepth - 1) + "</dict>";
    EXPECT_TRUE(readPropertyListDictionaryFromBytes(xmlPlist(body)).has_value());
}

// ---- Writing.

QVariantMap richDictionary()
{
    return QVariantMap{
        {"Quit on stop", qint64(1)},
        {"negative", qint64(-123456789012)},
        {"huge", QVariant::fromValue(std::numeric_limits<quint64>::max())},
        {"real", 0.125},
        {"flag", false},
        {"text", QString::fromUtf8("Lumen 2 <Port> & \"ä\"")},
        {"bytes", QByteArray("\x00\xff\x10", 3)},
        {"when", QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58), QTimeZone::utc())},
        {"list", QVariantList{qint64(1), QStringLiteral("two"), QVariantList{}}},
        {"nested", one("inner", one("deepest", true))},
    };
}

TEST(PropertyListWriting, RoundTrip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("BrennickMIDIPlayerSetting.xml"));
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, richDictionary()));
    EXPECT_EQ(readPropertyListDictionary(path), richDictionary());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("<?xml"));
    EXPECT_EQ(folderEntries(dir.path()), QStringList{"BrennickMIDIPlayerSetting.xml"});
}

TEST(PropertyListWriting, ReplacesTheWholeFileAndKeepsItsMode)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, QVariantMap{{"a", 1}, {"b", 2}}));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, QVariantMap{{"Quit on stop", 0}}));
    EXPECT_EQ(readPropertyListDictionary(path), one("Quit on stop", qint64(0)));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(PropertyListWriting, FailuresLeaveOldFileAndNoTemporary)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    const QByteArray old = writeFile(path, xmlPlist("<dict><key>Quit on stop</key><integer>1</integer></dict>"));

    struct Case {
        const char* what;
        QString path;
        QVariantMap dict;
    };
    const Case cases[] = {
        {"missing folder", dir.filePath(QStringLiteral("missing/settings.xml")), one("a", 1)},
        {"folder is a file", path + QStringLiteral("/settings.xml"), one("a", 1)},
        {"target is a folder", dir.path(), one("a", 1)},
        {"value of no property-list type", path, one("a", QVariant::fromValue(QPoint(1, 2)))},
        {"invalid value", path, one("a", QVariant())},
        {"not finite", path, one("a", std::numeric_limits<double>::infinity())},
        {"date out of range", path, one("a", QDateTime(QDate(2200, 1, 1), QTime(0, 0), QTimeZone::utc()))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(writePropertyListDictionaryAtomically(c.path, c.dict));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), old);
        EXPECT_EQ(folderEntries(dir.path()), QStringList{"settings.xml"});
    }
}

QVariantMap largeDictionary(char tag)
{
    QVariantMap map;
    for (int i = 0; i < 9000; ++i)
        map.insert(QStringLiteral("key%1").arg(i), QString(40, QLatin1Char(tag)));
    map.insert(QStringLiteral("tag"), QString(QLatin1Char(tag)));
    return map;
}

TEST(PropertyListWriting, FullDiskLeavesOldFileIntact)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, one("Quit on stop", 1)));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit makes write(2) fail as a full disk would.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(writePropertyListDictionaryAtomically(path, largeDictionary('a')) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write was reported as success";
    EXPECT_EQ(readPropertyListDictionary(path), one("Quit on stop", qint64(1)));
    EXPECT_EQ(folderEntries(dir.path()), QStringList{"settings.xml"});
}

bool isTemporaryOf(const QString& entry, const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.(.+)\\.[A-Za-z0-9]{6}$"));
    const QRegularExpressionMatch match = pattern.match(entry);
    return match.hasMatch() && match.captured(1) == name;
}

TEST(PropertyListWriting, KilledWriterLeavesOldOrNewFileAndNoStrays)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    const QVariantMap a = largeDictionary('a');
    const QVariantMap b = largeDictionary('b');
    // Kill points spread over about three saves, however fast this build writes.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, a));
    const auto saveUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delayUs(0, 3 * saveUs);
    int sawB = 0;
    for (int round = 0; round < 40; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool useB = true;; useB = !useB)
                writePropertyListDictionaryAtomically(path, useB ? b : a);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        const auto read = readPropertyListDictionary(path);
        ASSERT_TRUE(read.has_value()) << "round " << round;
        ASSERT_TRUE(*read == a || *read == b) << "round " << round;
        sawB += *read == b;
        // At most the one temporary name of the save just killed, renamed a moment later had it
        // lived; each save clears those of the saves killed before it.
        QStringList strays = folderEntries(dir.path());
        strays.removeOne(QStringLiteral("settings.xml"));
        ASSERT_LE(strays.size(), 1) << "round " << round << ": " << strays.join(u' ').toStdString();
        for (const QString& stray : strays)
            EXPECT_TRUE(isTemporaryOf(stray, QStringLiteral("settings.xml"))) << stray.toStdString();
    }
    EXPECT_GT(sawB, 0) << "no save completed before the kill: the test proved nothing";
    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, a));
    EXPECT_EQ(folderEntries(dir.path()), QStringList{"settings.xml"});
}

TEST(PropertyListWriting, NextSaveRemovesStaleTemporariesOfItsOwnNameOnly)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    const QStringList stale{".settings.xml.Ab12Z9", ".settings.xml.000000"};
    const QStringList kept{".settings.xml.bak",   ".settings.xml.Ab12Z9x", ".other.xml.Ab12Z9",
                           "settings.xml.Ab12Z9", ".settings.xml.Ab-2Z9",  ".settings.xml.ABCDEF.d"};
    for (const QString& name : stale + kept)
        writeFile(dir.filePath(name), "left over");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral(".settings.xml.Folder")));  // not a file: kept

    ASSERT_TRUE(writePropertyListDictionaryAtomically(path, one("Quit on stop", 1)));
    QStringList expected = kept;
    expected << "settings.xml"
             << ".settings.xml.Folder";
    expected.sort();
    QStringList entries = folderEntries(dir.path());
    entries.sort();
    EXPECT_EQ(entries.join(u' ').toStdString(), expected.join(u' ').toStdString());
}

// ---- Writing through symbolic links.

struct LinkCase {
    const char* name;
    QStringList links;                   // "link=target", made in this order
    const char* saved;                   // the path saved to
    std::optional<const char*> written;  // the regular file that receives the bytes; nullopt: failure
};

const LinkCase kLinkCases[] = {
    {"IntoAnotherFolder", {"settings.xml=elsewhere/real.xml"}, "settings.xml", "elsewhere/real.xml"},
    {"AbsoluteTarget", {"settings.xml=@/elsewhere/real.xml"}, "settings.xml", "elsewhere/real.xml"},
    {"Chain", {"settings.xml=middle.xml", "middle.xml=elsewhere/real.xml"}, "settings.xml", "elsewhere/real.xml"},
    {"RelativeToTheLinksOwnFolder", {"elsewhere/hop.xml=../final.xml"}, "elsewhere/hop.xml", "final.xml"},
    {"DanglingCreatesTheTarget", {"settings.xml=elsewhere/new.xml"}, "settings.xml", "elsewhere/new.xml"},
    {"DanglingIntoMissingFolder", {"settings.xml=missing/new.xml"}, "settings.xml", std::nullopt},
    {"Loop", {"settings.xml=other.xml", "other.xml=settings.xml"}, "settings.xml", std::nullopt},
    {"SelfLoop", {"settings.xml=settings.xml"}, "settings.xml", std::nullopt},
    {"ToAFolder", {"settings.xml=elsewhere"}, "settings.xml", std::nullopt},
};

void PrintTo(const LinkCase& c, std::ostream* out)
{
    *out << c.name;
}

class PropertyListLinks : public ::testing::TestWithParam<LinkCase> {};

QByteArray linkText(const QString& path)
{
    QByteArray text(4096, '\0');
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), text.data(), std::size_t(text.size()));
    return length < 0 ? QByteArray() : text.left(length);
}

// Every entry of the folder and of its subfolder "elsewhere", with the text of each link.
QStringList snapshot(const QString& root)
{
    QStringList all;
    for (const QString& folder : {QString(), QStringLiteral("elsewhere/")})
        for (const QString& entry : folderEntries(root + u'/' + folder))
            all << folder + entry + u'>' + QString::fromUtf8(linkText(root + u'/' + folder + entry));
    all.sort();
    return all;
}

TEST_P(PropertyListLinks, SavesThroughTheLinkAndKeepsIt)
{
    const LinkCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("elsewhere")));
    const QString real = dir.filePath(QStringLiteral("elsewhere/real.xml"));
    const QByteArray old = writeFile(real, xmlPlist("<dict><key>Quit on stop</key><integer>0</integer></dict>"));
    ASSERT_EQ(::chmod(QFile::encodeName(real).constData(), 0640), 0);
    for (const QString& link : c.links) {
        const QStringList parts = link.split(u'=');
        const QString target = parts[1].startsWith(u'@') ? dir.path() + parts[1].mid(1) : parts[1];
        ASSERT_EQ(
            ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(dir.filePath(parts[0])).constData()), 0);
    }
    QStringList expected = snapshot(dir.path());

    const bool saved = writePropertyListDictionaryAtomically(dir.filePath(c.saved), one("Quit on stop", 1));
    EXPECT_EQ(saved, c.written.has_value());
    if (!c.written) {
        EXPECT_EQ(readPropertyListDictionary(real), readPropertyListDictionaryFromBytes(old));
    } else {
        const QString written = dir.filePath(*c.written);
        EXPECT_EQ(readPropertyListDictionary(written), one("Quit on stop", qint64(1)));
        struct stat info {};
        ASSERT_EQ(::lstat(QFile::encodeName(written).constData(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        if (written == real) {
            EXPECT_EQ(info.st_mode & 0777, 0640u);
        }
        const QString created = QString::fromUtf8(*c.written) + u'>';
        if (!expected.contains(created)) {
            expected << created;
            expected.sort();
        }
    }
    // Links unchanged, and no temporary file in either folder.
    EXPECT_EQ(snapshot(dir.path()).join(u' ').toStdString(), expected.join(u' ').toStdString());
}

INSTANTIATE_TEST_SUITE_P(Layouts, PropertyListLinks, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PropertyListLinksOfOthers, ALinkPlantedByAnotherUserIsNotFollowed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the link another owner";
    QTemporaryDir dir;
    const QString victim = dir.filePath(QStringLiteral("victim.txt"));
    const QByteArray old = writeFile(victim, "precious");
    const QByteArray link = QFile::encodeName(dir.filePath(QStringLiteral("settings.xml")));
    ASSERT_EQ(::symlink("victim.txt", link.constData()), 0);
    ASSERT_EQ(::lchown(link.constData(), 65534, 65534), 0);  // neither ours nor the folder owner's
    EXPECT_FALSE(writePropertyListDictionaryAtomically(dir.filePath(QStringLiteral("settings.xml")), one("a", 1)));
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), old);

    // The owner of the folder may link, as may the saving user.
    ASSERT_EQ(::chown(QFile::encodeName(dir.path()).constData(), 65534, 65534), 0);
    EXPECT_TRUE(writePropertyListDictionaryAtomically(dir.filePath(QStringLiteral("settings.xml")), one("a", 1)));
    EXPECT_EQ(readPropertyListDictionary(victim), one("a", qint64(1)));
}

}  // namespace
}  // namespace brennick
