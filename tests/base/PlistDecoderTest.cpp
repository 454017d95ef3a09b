#include "base/PlistDecoder.h"
#include "base/PlistCompat.h"
#include "base/PlistFile.h"
#include "support/BinaryPlists.h"
#include "support/BundleBuilder.h"
#include "support/FreedMemory.h"

#include <QDateTime>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimeZone>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::optional<QVariantMap> dictionaryOf(const QByteArray &data)
{
    const std::optional<QVariant> value = PlistFile::parse(data);
    if (!value || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

// Text outside the Basic Multilingual Plane takes a surrogate pair in UTF-16.
const QString worldlyText = QStringLiteral("Caf\u00e9 \u2713 \U0001D11E \"quoted\" back\\slash");

TEST(PlistDecoderTest, ReadsEveryFormAMacWrites)
{
    const PlistFile::Entries entries = {
        {QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.acme.tool")},
        {QStringLiteral("CFBundleGetInfoString"), worldlyText},
        {QStringLiteral("CFBundleDocumentTypes"),
         QVariantList{QVariantMap{{QStringLiteral("CFBundleTypeName"), QStringLiteral("Doc")}},
                      QStringLiteral("second")}},
        {QStringLiteral("Signature"), QByteArray("\x00\xff\x10", 3)},
    };
    for (const InfoPlistForm form : allInfoPlistForms) {
        SCOPED_TRACE(labelOf(form));
        const std::optional<QVariantMap> dict = dictionaryOf(encodeInfoPlist(entries, form));
        ASSERT_TRUE(dict);
        EXPECT_EQ(dict->value(QStringLiteral("CFBundleIdentifier")).toString(),
                  QStringLiteral("com.acme.tool"));
        EXPECT_EQ(dict->value(QStringLiteral("CFBundleGetInfoString")).toString(), worldlyText);
        const QVariantList types = dict->value(QStringLiteral("CFBundleDocumentTypes")).toList();
        ASSERT_EQ(types.size(), 2);
        EXPECT_EQ(types.at(0).toMap().value(QStringLiteral("CFBundleTypeName")).toString(),
                  QStringLiteral("Doc"));
        EXPECT_EQ(types.at(1).toString(), QStringLiteral("second"));
        EXPECT_EQ(dict->value(QStringLiteral("Signature")).toByteArray(),
                  QByteArray("\x00\xff\x10", 3));
    }
}

// As early bundles and hand-edited files have it: comments of both kinds, bare and quoted
// strings, escapes, trailing separators, hex data with blanks, single quotes.
TEST(PlistDecoderTest, ReadsTheOldTextFormAsWrittenByHand)
{
    const QByteArray text = R"(// generated long ago
{
    CFBundleIdentifier = com.example.x;   /* bare */
    CFBundleName = "Old \"Tool\"\n\t\101\U00e9";
    CFBundleVersion = 1.2-beta+3;
    Empty = "";
    Quoted = 'single';
    NSTypes = ( "a", b, ( c ), {}, );
    Nested = { Inner = <0fbd 7772 00>; Last = z; };
}
)";
    const std::optional<QVariantMap> dict = dictionaryOf(text);
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->value(QStringLiteral("CFBundleIdentifier")), QStringLiteral("com.example.x"));
    EXPECT_EQ(dict->value(QStringLiteral("CFBundleName")),
              QStringLiteral("Old \"Tool\"\n\tA\u00e9"));
    EXPECT_EQ(dict->value(QStringLiteral("CFBundleVersion")), QStringLiteral("1.2-beta+3"));
    EXPECT_EQ(dict->value(QStringLiteral("Empty")), QString());
    EXPECT_EQ(dict->value(QStringLiteral("Quoted")), QStringLiteral("single"));
    const QVariantList types = dict->value(QStringLiteral("NSTypes")).toList();
    ASSERT_EQ(types.size(), 4);
    EXPECT_EQ(types.at(2).toList(), QVariantList{QStringLiteral("c")});
    EXPECT_EQ(types.at(3).typeId(), QMetaType::QVariantMap);
    const QVariantMap nested = dict->value(QStringLiteral("Nested")).toMap();
    EXPECT_EQ(nested.value(QStringLiteral("Inner")).toByteArray(),
              QByteArray("\x0f\xbd\x77\x72\x00", 5));
    EXPECT_EQ(nested.value(QStringLiteral("Last")), QStringLiteral("z"));
    // Data alone, which no XML reader takes.
    EXPECT_EQ(PlistFile::parse("<0fbd 77>"), QVariant(QByteArray("\x0f\xbd\x77")));
}

QByteArray xmlList(const QByteArray &value)
{
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + value + "</plist>";
}

// A dictionary of XML whose declaration names `encoding`, quotes included.
QByteArray declaring(const QByteArray &encoding, const QByteArray &entries)
{
    return "<?xml version=\"1.0\" encoding=" + encoding + "?><plist><dict>" + entries +
           "</dict></plist>";
}

QByteArray nestedXml(int depth, const QByteArray &before = {})
{
    return xmlList("<dict><key>k</key>" + before + QByteArray("<array>").repeated(depth) +
                   QByteArray("</array>").repeated(depth) + "</dict>");
}

// Arrays each holding the next one, `depth` deep; with `cycle` the last holds the first
// again; with `twice` each holds the next one twice, which libplist expands to 2^depth
// copies.
QByteArray chainedBinary(int depth, bool cycle = false, bool twice = false)
{
    const int refSize = depth < 0x100 ? 1 : 4;
    QList<QByteArray> objects;
    for (int i = 0; i < depth; ++i) {
        const bool last = i == depth - 1;
        const quint64 next = last ? 0 : quint64(i + 1);
        if (last && !cycle)
            objects.append(arrayObject({}, refSize));
        else
            objects.append(
                arrayObject(twice ? QList<quint64>{next, next} : QList<quint64>{next}, refSize));
    }
    return binaryList(objects, refSize);
}

// An array that refers `count` times to one string of `length` characters.
QByteArray fannedOutBinary(int count, int length)
{
    return binaryList(
        {arrayObject(QList<quint64>(count, 1), 1), stringObject(QByteArray(length, 's'))}, 1);
}

QByteArray xmlArrayOfTrues(int count)
{
    return xmlList("<array>" + QByteArray("<true/>").repeated(count) + "</array>");
}

QByteArray xmlDictionary(int count)
{
    QByteArray entries;
    for (int i = 0; i < count; ++i)
        entries += "<key>k" + QByteArray::number(i) + "</key><string>v</string>";
    return xmlList("<dict>" + entries + "</dict>");
}

// A dictionary of `count` keys that libplist's hash of keys files under one entry, as "Ab"
// and "BA" add the same to it; in XML or the old text form.
QByteArray keysAlikeToLibplist(int count, bool xml)
{
    QByteArray entries;
    for (int i = 0; i < count; ++i) {
        QByteArray key;
        for (int bit = 0; bit < 16; ++bit)
            key += (i >> bit & 1) != 0 ? "Ab" : "BA";
        if (xml)
            entries += "<key>" + key + "</key><true/>";
        else
            entries += key + " = x;";
    }
    return xml ? xmlList("<dict>" + entries + "</dict>") : QByteArray("{" + entries + "}");
}

// How reading `data` went in a child process: a crash, a hang or a runaway allocation
// there fails the row instead of the test run. The child has 512 MB more address space
// than it starts with and ten seconds.
struct ChildRead
{
    bool finished = false; // false: killed by a signal, such as a crash or the alarm
    bool readSomething = false;
    double cpuSeconds = 0;
    qint64 extraKiB = 0; // resident memory at its peak beyond that at the start
};

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field)))
                .trimmed()
                .split(' ')
                .value(0)
                .toLongLong();
    }
    return 0;
}

ChildRead readInChild(const std::function<bool()> &read)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        const rlim_t room = rlim_t(statusKiB("VmSize:") + 512 * 1024) * 1024;
        const rlimit limit{room, room};
        ::setrlimit(RLIMIT_AS, &limit);
        ::alarm(10);
        // Free memory inherited from the test goes back, so that the peak counts what the
        // read takes.
        returnFreedMemory();
        QFile clear(QStringLiteral("/proc/self/clear_refs")); // resets the peak
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        clear.close();
        const qint64 startKiB = statusKiB("VmRSS:");
        ChildRead result{true, false, 0, 0};
        try {
            result.readSomething = read();
        } catch (...) {
            ::_exit(1); // out of memory: no result
        }
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        result.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        result.extraKiB = statusKiB("VmHWM:") - startKiB;
        [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    ChildRead result;
    if (child > 0 && ::read(pipeEnds[0], &result, sizeof result) != ssize_t(sizeof result))
        result = ChildRead();
    ::close(pipeEnds[0]);
    int status = 0;
    if (child > 0)
        ::waitpid(child, &status, 0);
    return result;
}

ChildRead parseInChild(const QByteArray &data)
{
    return readInChild([&] { return PlistFile::parse(data).has_value(); });
}

// What a scan can afford for one Info.plist, however it is made; an unoptimised build (the
// Mac-shaped check) runs the same reading several times slower, still far from a stall.
#ifdef __OPTIMIZE__
constexpr double cpuBudgetSeconds = 1.0;
#else
constexpr double cpuBudgetSeconds = 4.0;
#endif
constexpr qint64 memoryBudgetKiB = 64 * 1024;

TEST(PlistDecoderTest, WhatIsNoPropertyListReadsAsNothing)
{
    const PlistFile::Entries entries = {
        {QStringLiteral("CFBundleIdentifier"), QStringLiteral("x")}};
    const QByteArray xml = encodeInfoPlist(entries, InfoPlistForm::xml);
    const QByteArray binary = encodeInfoPlist(entries, InfoPlistForm::binary);
    const QByteArray utf16 = encodeInfoPlist(entries, InfoPlistForm::xmlUtf16LE);
    const QByteArray text = encodeInfoPlist(entries, InfoPlistForm::text);
    const QByteArray closings = QByteArray("</array></dict>").repeated(60000);
    const struct
    {
        const char *label;
        QByteArray data;
    } cases[] = {
        {"truncated XML", xml.left(xml.size() / 2)},
        {"truncated binary", binary.left(binary.size() - 9)},
        {"binary header alone", QByteArray("bplist00")},
        {"UTF-16 of odd length", utf16.left(utf16.size() - 1)},
        {"UTF-16 with a lone surrogate", QByteArray("\xFF\xFE\x00\xD8{\x00}\x00", 8)},
        {"truncated text form", text.left(text.size() / 2)},
        {"garbage", QByteArray("\x7f"
                               "ELF\x02\x01\x01\x00 #!/bin/sh",
                               18)},
        {"shell script", QByteArray("#!/bin/sh\nexec true\n")},
        {"unterminated comment", QByteArray("{ a = b; /* never closed")},
        {"unterminated string", QByteArray("{ a = \"b; }")},
        {"odd hex digits", QByteArray("{ a = <0fb>; }")},
        {"no equals sign", QByteArray("{ a b; }")},
        {"text after the end", QByteArray("{ a = b; } { }")},
        {"XML nested too deep", nestedXml(PlistDecoder::maxDepth + 1)},
        {"XML nested absurdly deep", nestedXml(200000)},
        {"text form nested absurdly deep", QByteArray("{ a = ") + QByteArray("(").repeated(200000) +
                                               QByteArray(")").repeated(200000) + "; }"},
        {"binary nested absurdly deep", chainedBinary(200000)},
        {"binary that holds itself", chainedBinary(3, true)},
        // Closing tags where no reader of elements sees them, then nesting far too deep.
        {"XML with closing tags in CDATA",
         nestedXml(60000, "<string><![CDATA[" + closings + "]]></string><key>l</key>")},
        {"XML with closing tags in a comment in a string",
         nestedXml(60000, "<string><!--" + closings + "--></string><key>l</key>")},
        {"XML with closing tags in a processing instruction",
         nestedXml(60000, "<?x \"" + closings + "?>\" ?>")},
        {"XML with closing tags in a quoted attribute",
         nestedXml(60000, "<string a=\"" + closings + "\">s</string><key>l</key>")},
        // Shared objects that libplist copies at each reference.
        {"binary arrays holding the next twice, 37 deep", chainedBinary(37, false, true)},
        {"binary arrays holding the next twice, 80 deep", chainedBinary(80, false, true)},
        {"binary fanned out past the values", fannedOutBinary(int(PlistDecoder::maxValues), 0)},
        {"binary fanned out past the bytes",
         fannedOutBinary(int(PlistDecoder::maxExpandedBytes / 1024) + 1, 1023)},
        {"XML with too many values", xmlArrayOfTrues(int(PlistDecoder::maxValues))},
        {"text form with too many values",
         "(" + QByteArray("a,").repeated(int(PlistDecoder::maxValues)) + ")"},
        {"larger than any Info.plist",
         xmlList("<string>" + QByteArray(int(PlistDecoder::maxFileSize), 's') + "</string>")},
    };
    for (const auto &c : cases) {
        const ChildRead read = parseInChild(c.data);
        EXPECT_TRUE(read.finished) << c.label << ": crashed or hung";
        EXPECT_FALSE(read.readSomething) << c.label;
        EXPECT_LT(read.cpuSeconds, cpuBudgetSeconds) << c.label;
        EXPECT_LT(read.extraKiB, memoryBudgetKiB) << c.label;
    }

    // Nesting, sharing and size within reason still read, at a cost a scan can bear; so do a
    // NUL in a key or a string, in every form, as U+FFFD, keys alike to libplist's hash and
    // text dense with entities.
    EXPECT_TRUE(dictionaryOf(nestedXml(PlistDecoder::maxDepth - 2))) << "deep XML";
    EXPECT_TRUE(PlistFile::parse(chainedBinary(PlistDecoder::maxDepth - 1))) << "deep binary";
    const QByteArray nulKey("k\0", 2);
    const QByteArray nulValue("a\0b", 3);
    const QByteArray xmlWithNul =
        xmlList("<dict><key>" + nulKey + "</key><string>" + nulValue + "</string></dict>");
    const QVariantMap readAsReplaced{{QStringLiteral("k\uFFFD"), QStringLiteral("a\uFFFDb")}};
    const int fileRoom = int(PlistDecoder::maxFileSize) - 100;
    const struct
    {
        const char *label;
        QByteArray data;
        QVariant readAs = {}; // checked where given
    } bounds[] = {
        {"binary fanned out to the values", fannedOutBinary(int(PlistDecoder::maxValues) - 1, 0)},
        {"binary fanned out to the bytes",
         fannedOutBinary(int(PlistDecoder::maxExpandedBytes / 1024), 1023)},
        {"binary arrays holding the next twice, 15 deep", chainedBinary(15, false, true)},
        {"XML with as many values as allowed", xmlArrayOfTrues(int(PlistDecoder::maxValues) - 1)},
        {"XML dictionary with as many values as allowed",
         xmlDictionary(int(PlistDecoder::maxValues) / 2 - 1)},
        {"XML with a NUL byte in a key and a string", xmlWithNul, readAsReplaced},
        {"XML with a NUL byte in CDATA",
         xmlList("<dict><key><![CDATA[" + nulKey + "]]></key><string><![CDATA[" + nulValue +
                 "]]></string></dict>"),
         readAsReplaced},
        {"XML with NUL character references",
         xmlList("<dict><key>k&#0;</key><string>a&#x0;b</string></dict>"), readAsReplaced},
        {"UTF-16 XML with U+0000",
         QStringEncoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom)
             .encode(QString::fromUtf8(xmlWithNul)),
         readAsReplaced},
        {"binary with a NUL in strings of bytes",
         binaryList({dictionaryObject(), stringObject(nulKey), stringObject(nulValue)}, 1),
         readAsReplaced},
        {"binary with U+0000 in UTF-16 strings",
         binaryList({dictionaryObject(), utf16Object(QString::fromUtf8(nulKey)),
                     utf16Object(QString::fromUtf8(nulValue) + QStringLiteral("\u00e9"))},
                    1),
         QVariantMap{{QStringLiteral("k\uFFFD"), QStringLiteral("a\uFFFDb\u00e9")}}},
        {"text form with octal NUL escapes", QByteArray(R"({ "k\0" = "a\000b"; })"),
         readAsReplaced},
        {"text form with Unicode NUL escapes", QByteArray(R"({ "k\U0000" = "a\U0000b"; })"),
         readAsReplaced},
        // A unit mended in a UTF-16 string whose bytes another object shares changes that
        // object too, unless the string is mended by a copy.
        {"binary with a NUL in UTF-16 over a dictionary's references",
         overlappingUnitList(OverlappingUnit::nulOverReferences),
         QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("\uD202\uFFFD")},
                     {QStringLiteral("\uD202\uFFFD"), QStringLiteral("CFBundleName")}}},
        {"binary with a lone surrogate over a dictionary's references",
         overlappingUnitList(OverlappingUnit::surrogateOverReferences),
         QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("\uD202\uFFFD")},
                     {QStringLiteral("TargetVolumeName"), QStringLiteral("CFBundleName")}}},
        {"binary with a lone surrogate over a string's length",
         overlappingUnitList(OverlappingUnit::surrogateOverLength),
         QVariantMap{{QStringLiteral("CFBundleName"), QString(220, QLatin1Char('x'))},
                     {QStringLiteral("S"), QStringLiteral("\u6F10\uFFFD")}}},
        // libplist up to 2.6 converts a date to a 32-bit integer of seconds; one it cannot
        // hold is left out, with its key.
        {"XML with dates before 1932 and after 2069",
         xmlList("<dict><key>Old</key><date>1900-01-01T00:00:00Z</date><key>New</key>"
                 "<date>2024-02-29T13:45:00Z</date><key>List</key><array>"
                 "<date>2100-01-01T00:00:00Z</date><string>v</string></array></dict>"),
         QVariantMap{{QStringLiteral("New"),
                      QDateTime(QDate(2024, 2, 29), QTime(13, 45), QTimeZone::utc())},
                     {QStringLiteral("List"), QVariantList{QStringLiteral("v")}}}},
        {"binary with dates before 1932 and after 2069",
         binaryList({dictionaryObject(2), stringObject("Old"), stringObject("List"),
                     dateObject(-3e9), arrayObject({5, 6, 7}, 1), dateObject(1e100),
                     dateObject(0.0), dateObject(std::nan(""))},
                    1),
         QVariantMap{{QStringLiteral("List"),
                      QVariantList{QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc())}}}},
        // libplist fills a dictionary and resolves entities in time that grows with the square
        // of their count.
        {"XML dictionary of keys alike to libplist",
         keysAlikeToLibplist(int(PlistDecoder::maxValues) / 2 - 1, true)},
        {"text form dictionary of keys alike to libplist",
         keysAlikeToLibplist(int(PlistDecoder::maxValues) / 2 - 1, false)},
        {"XML string of entities filling the file",
         xmlList("<string>" + QByteArray("&amp;").repeated(fileRoom / 5) + "</string>"),
         QString(fileRoom / 5, QLatin1Char('&'))},
        {"XML key of character references filling the file",
         xmlList("<dict><key>" + QByteArray("&#x263A;").repeated(fileRoom / 8) +
                 "</key><true/></dict>"),
         QVariantMap{{QString(fileRoom / 8, QChar(0x263A)), true}}},
        {"XML CDATA of ampersands filling the file",
         xmlList("<string><![CDATA[" + QByteArray(fileRoom, '&') + "]]></string>"),
         QString(fileRoom, QLatin1Char('&'))},
    };
    for (const auto &c : bounds) {
        const ChildRead read = readInChild([&] {
            const std::optional<QVariant> value = PlistFile::parse(c.data);
            return value && (!c.readAs.isValid() || *value == c.readAs);
        });
        EXPECT_TRUE(read.finished && read.readSomething) << c.label;
        EXPECT_LT(read.cpuSeconds, cpuBudgetSeconds) << c.label;
        EXPECT_LT(read.extraKiB, memoryBudgetKiB) << c.label;
    }
}

// Markup inside text and comments between values is what it is, not structure.
TEST(PlistDecoderTest, MarkupInsideTextReadsAsText)
{
    const std::optional<QVariantMap> dict = dictionaryOf(xmlList(
        "<dict><!-- </dict></array> --><key>cdata</key><string><![CDATA[</dict> & <a>]]></string>"
        "<key>mixed</key><string>a&lt;<!-- </string> -->b<![CDATA[<c>]]></string>"
        "<key>list</key><array><!-- </array> --><integer><![CDATA[7]]></integer></array>"
        "</dict>"));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->value(QStringLiteral("cdata")), QStringLiteral("</dict> & <a>"));
    EXPECT_EQ(dict->value(QStringLiteral("mixed")), QStringLiteral("a<b<c>"));
    EXPECT_EQ(dict->value(QStringLiteral("list")), QVariantList{qint64(7)});

    // libplist's own writer stores a value once and refers to it from every place.
    const QString shared = QStringLiteral("com.acme.shared");
    const std::optional<QVariantMap> binary = dictionaryOf(encodeInfoPlist(
        {{QStringLiteral("A"), shared},
         {QStringLiteral("B"), QVariantList{shared, shared, QVariantMap{{shared, shared}}}}},
        InfoPlistForm::binary));
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->value(QStringLiteral("B")).toList().value(2).toMap().value(shared), shared);

    // A key or string that begins with U+FEFF, and a key given twice, read as the Mac reads
    // them, the same for every reader of the tree: a key looked up in it, as the launcher
    // does, and the dictionary the program makes of it. The Mac drops a leading U+FEFF of each
    // key and string of XML (its UTF-8 decoding takes it for a byte-order mark); keeps it in
    // the old text form and UTF-16 of a binary list; reads a binary string of bytes as
    // Latin-1; and of a key given twice keeps the last value in XML and the text form, the
    // first in a binary list.
    const QByteArray bom = "\xEF\xBB\xBF";
    const QByteArray xmlTwice =
        xmlList("<dict><key>k</key><string>first</string><key>" + bom + "k</key><string>" + bom +
                "second</string><key>" + bom + bom + "j</key><string>&#xFEFF;x</string></dict>");
    const QVariantMap xmlRead{{"k", "second"}, {QStringLiteral("\uFEFFj"), "x"}};
    const struct
    {
        const char *label;
        QByteArray data;
        QVariantMap readAs; // empty: refused
    } readings[] = {
        {"XML", xmlTwice, xmlRead},
        {"XML in UTF-16",
         QStringEncoder(QStringConverter::Utf16BE, QStringConverter::Flag::WriteBom)
             .encode(QString::fromUtf8(xmlTwice)),
         xmlRead},
        {"old text form",
         "{ k = first; \"" + bom + "k\" = \"" + bom + "second\"; \"\\UFEFFj\" = x; j = 1; j = 2; }",
         {{"k", "first"},
          {QStringLiteral("\uFEFFk"), QStringLiteral("\uFEFFsecond")},
          {QStringLiteral("\uFEFFj"), "x"},
          {"j", "2"}}},
        {"binary",
         binaryList({dictionaryObject(4), stringObject("k"), utf16Object(QStringLiteral("\uFEFFk")),
                     utf16Object("k"), stringObject("k"), stringObject("first"),
                     utf16Object(QStringLiteral("\uFEFFsecond")), stringObject("third"),
                     stringObject("fourth")},
                    1),
         {{"k", "first"}, {QStringLiteral("\uFEFFk"), QStringLiteral("\uFEFFsecond")}}},
        {"binary string of bytes and lone surrogate",
         binaryList({dictionaryObject(2), stringObject(bom + "k"),
                     utf16Object(QChar(0xD800) + QStringLiteral("k")), stringObject("caf\xE9"),
                     stringObject("v")},
                    1),
         {{QStringLiteral("\u00EF\u00BB\u00BFk"), QStringLiteral("caf\u00E9")},
          {QStringLiteral("\uFFFDk"), "v"}}},
        {"XML string that is no UTF-8",
         xmlList("<dict><key>k</key><string>\xFF</string></dict>"),
         {}},
        {"old text form that is no UTF-8", "{ k = \"\xC0\xAF\"; }", {}},
        // A "©" of MacRoman or Latin-1 in an old application's Info.plist: the Mac's UTF-8
        // decoder reads a lone byte 0xA9 as U+FFFD, and refuses any other stray byte.
        {"XML with a lone byte 0xA9",
         xmlList("<dict><key>CFBundleIdentifier</key><string>com.acme.old</string>"
                 "<key>NSHumanReadableCopyright</key><string>\xA9 1998 Acme &amp; \xA9\xA9"
                 "</string></dict>"),
         {{"CFBundleIdentifier", "com.acme.old"},
          {"NSHumanReadableCopyright", QStringLiteral("\uFFFD 1998 Acme & \uFFFD\uFFFD")}}},
        {"old text form with a lone byte 0xA9",
         "{ CFBundleIdentifier = com.acme.old; /* \xA9 */ NSHumanReadableCopyright = \"\xA9 "
         "1998\"; }",
         {{"CFBundleIdentifier", "com.acme.old"},
          {"NSHumanReadableCopyright", QStringLiteral("\uFFFD 1998")}}},
        {"XML with 0xA9 ending a character cut short",
         xmlList("<dict><key>k</key><string>\xC3\xA9\xE2\xA9</string></dict>"),
         {}},
        // The Mac ends a comment of the old text form at any line or paragraph break, knows
        // \U and no \u, and maps an octal escape through the NeXTSTEP encoding.
        {"old text form with comments ended by CR and U+2028",
         "{ CFBundleIdentifier = com.good; // x\r CFBundleIdentifier = com.evil; // y"
         "\xE2\x80\xA8 CFBundleName = Evil; }",
         {{"CFBundleIdentifier", "com.evil"}, {"CFBundleName", "Evil"}}},
        {"old text form with \\U and \\u escapes",
         R"({ a = "\U0041\u0041"; b = "\UD83D\UDE00|\UD800|\Ux"; })",
         {{"a", "Au0041"}, {"b", QStringLiteral("\U0001F600|\uFFFD|\uFFFDx")}}},
        {"old text form with high octal escapes",
         R"({ a = "\251\341\376\777\401"; })",
         {{"a", QStringLiteral("\u2019\u00C6\uFFFD\uFFFD\u0001")}}},
        // An XML declaration at the very start names the encoding of the rest: ISO-8859-1 by
        // any of its names (US-ASCII reads the same), Windows-1252, whose undefined bytes
        // refuse the file, and Mac Roman, whose number the Mac's reader takes for a failure;
        // any other name reads plain ASCII alone.
        {"XML declaring ISO-8859-1",
         declaring("\"ISO-8859-1\"", "<key>CFBundleIdentifier</key><string>com.acme.caf\xE9"
                                     "</string><key>Copyright</key><string>\xA9 1998</string>"),
         {{"CFBundleIdentifier", QStringLiteral("com.acme.caf\u00E9")},
          {"Copyright", QStringLiteral("\u00A9 1998")}}},
        {"XML declaring latin1 in single quotes",
         declaring("'latin1'", "<key>k</key><string>caf\xE9</string>"),
         {{"k", QStringLiteral("caf\u00E9")}}},
        {"XML declaring US-ASCII, with a byte past ASCII",
         declaring("\"us-ascii\"", "<key>k</key><string>caf\xE9</string>"),
         {{"k", QStringLiteral("caf\u00E9")}}},
        {"XML declaring Windows 1252",
         declaring("\"Windows 1252\"", "<key>k</key><string>\x80\x92\x9F\xA9</string>"),
         {{"k", QStringLiteral("\u20AC\u2019\u0178\u00A9")}}},
        {"XML declaring windows-1252, with a byte it leaves undefined",
         declaring("\"windows-1252\"", "<key>k</key><string>\x81</string>"),
         {}},
        {"XML declaring macintosh",
         declaring("\"macintosh\"", "<key>k</key><string>v</string>"),
         {}},
        {"XML declaring ISO-8859-2, in plain ASCII",
         declaring("\"ISO-8859-2\"", "<key>k</key><string>v</string>"),
         {{"k", "v"}}},
        {"XML declaring Shift_JIS, with bytes past ASCII",
         declaring("\"Shift_JIS\"", "<key>k</key><string>\xC3\xA9</string>"),
         {}},
        // Every name that the Mac takes for UTF-8 reads as "utf-8": each key and string decoded
        // on its own, so that a byte of another encoding in a comment is read past.
        {"XML declaring UTF8, with a byte past UTF-8 in a comment",
         declaring("\"UTF8\"", "<!-- caf\xE9 --><key>CFBundleIdentifier</key><string>com.acme.tool"
                               "</string>"),
         {{"CFBundleIdentifier", "com.acme.tool"}}},
        {"XML declaring cp65001, with a byte past UTF-8 in a comment",
         declaring("'cp65001'", "<!-- caf\xE9 --><key>k</key><string>v</string>"),
         {{"k", "v"}}},
        {"XML declaring x-mac-utf-8, with a byte past UTF-8 in a comment",
         declaring("\"x-mac-utf-8\"", "<!-- caf\xE9 --><key>k</key><string>v</string>"),
         {{"k", "v"}}},
        {"XML declaring ISO-8859-1 after a line break",
         "\n" + declaring("\"ISO-8859-1\"", "<key>k</key><string>caf\xE9</string>"),
         {}},
        {"XML with neither declaration nor <plist>",
         " <dict><key>CFBundleIdentifier</key><string>com.acme.bare</string></dict>",
         {{"CFBundleIdentifier", "com.acme.bare"}}},
        // In the old text form a key with no value is its own value, in every dictionary and in
        // the entries of one without braces, as a strings file has them.
        {"old text form with keys alone",
         R"({ CFBundleIdentifier; Nested = { a; "b c"; }; })",
         {{"CFBundleIdentifier", "CFBundleIdentifier"},
          {"Nested", QVariantMap{{"a", "a"}, {"b c", "b c"}}}}},
        {"old text form whose last entry has no semicolon",
         "{ CFBundleIdentifier = com.acme.tool; CFBundleName = Tool }",
         {}},
        {"old text form without braces",
         "/* strings */ CFBundleIdentifier = com.acme.strings; \"CFBundleName\"; } not read",
         {{"CFBundleIdentifier", "com.acme.strings"}, {"CFBundleName", "CFBundleName"}}},
        // A null (which libplist reads only from 2.3 on) is left out, after the first value of a
        // key given twice is chosen, as the Mac keeps that null.
        {"binary with nulls",
         binaryList({dictionaryObject(4), stringObject("CFBundleIdentifier"),
                     stringObject("CFBundleName"), stringObject("CFBundleIdentifier"),
                     stringObject("List"), QByteArray(1, '\0'), stringObject("Named"),
                     stringObject("com.acme.second"), arrayObject({5, 9}, 1), stringObject("v")},
                    1),
         {{"CFBundleName", "Named"}, {"List", QVariantList{"v"}}}},
    };
    for (const auto &c : readings) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(dictionaryOf(c.data).value_or(QVariantMap()), c.readAs);
        const PlistDecoder::Node root =
            PlistDecoder::decode(c.data.constData(), std::size_t(c.data.size()));
        ASSERT_EQ(bool(root), !c.readAs.isEmpty());
        if (!root)
            continue;
        EXPECT_EQ(plist_dict_get_size(root.get()), std::uint32_t(c.readAs.size()));
        for (auto it = c.readAs.cbegin(); it != c.readAs.cend(); ++it) {
            const std::string_view value = PlistCompat::stringOf(
                plist_dict_get_item(root.get(), it.key().toUtf8().constData()));
            EXPECT_EQ(QByteArray(value.data(), qsizetype(value.size())),
                      it.value().toString().toUtf8())
                << qPrintable(it.key());
        }
    }

    // A pipe or an endless device in place of the file neither blocks nor fills memory.
    const QTemporaryDir dir;
    const QString pipe = dir.filePath(QStringLiteral("pipe.plist"));
    const QString device = dir.filePath(QStringLiteral("zero.plist"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), device));
    for (const QString &path : {pipe, device}) {
        const ChildRead read = readInChild([&] { return PlistFile::read(path).has_value(); });
        EXPECT_TRUE(read.finished && !read.readSomething) << qPrintable(path);
    }
}

} // namespace
