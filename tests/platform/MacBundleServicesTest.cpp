#include "platform/macos/MacBundleServices.h"

#include "support/BundleBuilder.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(MacBundleServicesTest, ToolCommandLinesAreExact)
{
    const QString bundle = QStringLiteral("/Applications/My App.app");
    EXPECT_EQ(MacBundleServices::codesignCommand(bundle),
              (ToolCommand{QStringLiteral("/usr/bin/codesign"),
                           {QStringLiteral("--force"), QStringLiteral("--deep"),
                            QStringLiteral("--sign"), QStringLiteral("-"), bundle}}));
    EXPECT_EQ(MacBundleServices::lsregisterCommand(bundle),
              (ToolCommand{QStringLiteral("/System/Library/Frameworks/CoreServices.framework/"
                                          "Frameworks/LaunchServices.framework/Support/lsregister"),
                           {QStringLiteral("-f"), bundle}}));
    EXPECT_EQ(
        MacBundleServices::compileCommand(QStringLiteral("/tmp/a.m"), QStringLiteral("/tmp/b")),
        (ToolCommand{QStringLiteral("/usr/bin/clang"),
                     {QStringLiteral("-arch"), QStringLiteral("arm64"), QStringLiteral("-O2"),
                      QStringLiteral("-framework"), QStringLiteral("Cocoa"),
                      QStringLiteral("-framework"), QStringLiteral("Foundation"),
                      QStringLiteral("/tmp/a.m"), QStringLiteral("-o"),
                      QStringLiteral("/tmp/b")}}));
}

TEST(MacBundleServicesTest, CommentScriptEscapesPathAndComment)
{
    EXPECT_EQ(MacBundleServices::commentScript(QStringLiteral("/Applications/A \"q\"\\b\n.app"),
                                               QStringLiteral("Stored on X: /Volumes/X/A\r.app")),
              QStringLiteral("tell application \"Finder\" to set comment of (POSIX file "
                             "\"/Applications/A \\\"q\\\"\\\\b\\n.app\" as alias) to "
                             "\"Stored on X: /Volumes/X/A\\r.app\""));
}

TEST(MacBundleServicesTest, IconIsConvertedFromTheBundlesOwnIconFile)
{
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString generic = QStringLiteral("/System/Library/CoreServices/CoreTypes.bundle/"
                                           "Contents/Resources/GenericApplicationIcon.icns");
    struct Case
    {
        const char *name;
        QVariantMap entries;
        QStringList files; // in Contents/Resources
        QString expected;  // relative to Contents/Resources, or the generic icon
    };
    const Case cases[] = {
        {"Bare.app", {{"CFBundleIconFile", "AppIcon"}}, {"AppIcon.icns"}, "AppIcon.icns"},
        {"Full.app", {{"CFBundleIconFile", "Full.icns"}}, {"Full.icns"}, "Full.icns"},
        {"Catalog.app", {{"CFBundleIconName", "AppIcon"}}, {"AppIcon.icns"}, "AppIcon.icns"},
        {"Missing.app", {{"CFBundleIconFile", "Gone"}}, {}, generic},
        {"Escape.app", {{"CFBundleIconFile", "../../../Escape.icns"}}, {}, generic},
        {"Number.app", {{"CFBundleIconFile", 7}}, {"7.icns"}, generic},
        {"None.app", {}, {"AppIcon.icns"}, generic},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BundleBuilder builder(dir.filePath(QString::fromLatin1(c.name)));
        for (auto entry = c.entries.cbegin(); entry != c.entries.cend(); ++entry)
            builder.plistValue(entry.key(), entry.value());
        for (const QString &file : c.files)
            builder.file(QStringLiteral("Resources/") + file, "icns");
        const QString bundle = builder.build();
        const QString expected = c.expected == generic
                                     ? generic
                                     : bundle + QStringLiteral("/Contents/Resources/") + c.expected;
        EXPECT_EQ(MacBundleServices::iconSource(bundle), expected);
    }
    EXPECT_EQ(
        MacBundleServices::iconCommand("/A.app/Contents/Resources/AppIcon.icns", "/tmp/x.png"),
        (ToolCommand{"/usr/bin/sips",
                     {"-s", "format", "png", "/A.app/Contents/Resources/AppIcon.icns", "--out",
                      "/tmp/x.png"}}));
}

TEST(MacBundleServicesTest, ProgramBundleIsFoundFromItsExecutableFolder)
{
    EXPECT_EQ(MacBundleServices::bundleOfExecutableFolder(
                  "/Applications/Korvanthelix.app/Contents/MacOS"),
              "/Applications/Korvanthelix.app");
    EXPECT_EQ(MacBundleServices::bundleOfExecutableFolder("/Users/a/src/build/src"),
              "/Users/a/src/build/src");
}
