#include "platform/macos/MacBundleServices.h"

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
