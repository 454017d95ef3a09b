#include "base/PlistDecoder.h"
#include "base/PlistFile.h"
#include "support/BundleBuilder.h"

#include <QtEndian>
#include <gtest/gtest.h>

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
    Nested = { Inner = <0fbd 7772 00>; Last = z };
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
}

QByteArray nestedXml(int depth)
{
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>" +
           QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth) +
           "</dict></plist>";
}

// A binary property list in which each array holds the next one, `depth` deep; with `cycle`
// the last one holds the first again.
QByteArray chainedBinary(int depth, bool cycle = false)
{
    QByteArray data = "bplist00";
    QList<quint32> offsets;
    for (int i = 0; i < depth; ++i) {
        offsets.append(quint32(data.size()));
        const bool last = i == depth - 1;
        if (last && !cycle) {
            data.append(char(0xA0));
            continue;
        }
        data.append(char(0xA1));
        char ref[4];
        qToBigEndian(quint32(last ? 0 : i + 1), ref);
        data.append(ref, 4);
    }
    const quint64 table = quint64(data.size());
    for (const quint32 offset : offsets) {
        char bytes[4];
        qToBigEndian(offset, bytes);
        data.append(bytes, 4);
    }
    data.append(QByteArray(6, '\0'));
    data.append(char(4));
    data.append(char(4));
    for (const quint64 value : {quint64(depth), quint64(0), table}) {
        char bytes[8];
        qToBigEndian(value, bytes);
        data.append(bytes, 8);
    }
    return data;
}

TEST(PlistDecoderTest, WhatIsNoPropertyListReadsAsNothing)
{
    const PlistFile::Entries entries = {
        {QStringLiteral("CFBundleIdentifier"), QStringLiteral("x")}};
    const QByteArray xml = encodeInfoPlist(entries, InfoPlistForm::xml);
    const QByteArray binary = encodeInfoPlist(entries, InfoPlistForm::binary);
    const QByteArray utf16 = encodeInfoPlist(entries, InfoPlistForm::xmlUtf16LE);
    const QByteArray text = encodeInfoPlist(entries, InfoPlistForm::text);
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
    };
    for (const auto &c : cases)
        EXPECT_FALSE(PlistFile::parse(c.data)) << c.label;

    // Nesting within reason still reads.
    EXPECT_TRUE(dictionaryOf(nestedXml(PlistDecoder::maxDepth - 2))) << "deep XML";
    EXPECT_TRUE(PlistFile::parse(chainedBinary(PlistDecoder::maxDepth - 1))) << "deep binary";
}

} // namespace
