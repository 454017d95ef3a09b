#include "transfer/AppProxyHelper.h"

#include "support/BinaryPlists.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringEncoder>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

// The Linux launcher this build puts beside the program (build/src), seen from build/tests.
QString builtLauncher()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../src/ProxyLauncher"));
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct LauncherRun
{
    int exitCode = -1;
    QByteArray standardError;
};

// Runs the proxy's launcher as the desktop would, without a display, so no dialog appears.
LauncherRun runProxy(const QString &proxy, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(proxy + QStringLiteral("/Contents/MacOS/ProxyLauncher"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardError()};
}

QString alertText(const QString &name, const QString &volume)
{
    return QStringLiteral("\"%1\" Cannot Be Opened\nThis application is stored on \"%2\", which "
                          "is not currently connected.\n\nPlease connect the drive to launch "
                          "it.\n")
        .arg(name, volume);
}

// The Info.plist of `entries` in `form` with every `from` then made `to`, of the same length:
// so a key can be given twice, which no writer of property lists does.
QByteArray withKeyRenamed(const PlistFile::Entries &entries, InfoPlistForm form,
                          const QString &from, const QString &to)
{
    QByteArray data = encodeInfoPlist(entries, form);
    if (form != InfoPlistForm::xmlUtf16LE && form != InfoPlistForm::xmlUtf16BE)
        return data.replace(from.toUtf8(), to.toUtf8());
    const auto encoding =
        form == InfoPlistForm::xmlUtf16LE ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE;
    const QByteArray fromBytes = QStringEncoder(encoding).encode(from);
    const QByteArray toBytes = QStringEncoder(encoding).encode(to);
    return data.replace(fromBytes, toBytes);
}

class ProxyLauncherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(builtLauncher()).isExecutable()) << builtLauncher().toStdString();
        sandbox.system().fakeBundleServices().setProgramResource(QStringLiteral("ProxyLauncher"),
                                                                 builtLauncher());
    }

    // A drive application whose executable writes its arguments, one a line, and exits.
    QString recorderApp(int exitCode)
    {
        const QString script = QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' "
                                              "\"$a\"; done > '") +
                               record + QStringLiteral("'\nexit ") + QString::number(exitCode) +
                               QLatin1Char('\n');
        return BundleBuilder(target)
            .executableName(QStringLiteral("Recorder"))
            .file(QStringLiteral("MacOS/Recorder"), script.toUtf8(), 0755)
            .build();
    }

    // A drive application that writes its name and exits.
    QString namedApp(const QString &name)
    {
        const QString script = QStringLiteral("#!/bin/sh\nprintf '") + name +
                               QStringLiteral("' > '") + record + QStringLiteral("'\n");
        return BundleBuilder(sandbox.drive() + QStringLiteral("/Applications/") + name +
                             QStringLiteral(".app"))
            .executableName(name)
            .file(QStringLiteral("MacOS/") + name, script.toUtf8(), 0755)
            .build();
    }

    Sandbox sandbox;
    const QString record = sandbox.path(QStringLiteral("arguments.txt"));
    const QString target = sandbox.drive() + QStringLiteral("/Applications/Recorder.app");
    const QString proxy = sandbox.applications() + QStringLiteral("/Recorder.app");
};

TEST_F(ProxyLauncherTest, StartsTheTargetWithItsArgumentsOrReportsTheMissingDrive)
{
    struct Case
    {
        const char *label;
        QStringList arguments;
        int targetExit;
        bool driveConnected;
        bool executablePresent;
        int expectedExit;
        QByteArray recorded;
        QString errorText;
    };
    const Case cases[] = {
        {"no arguments", {}, 0, true, true, 0, "", ""},
        {"two arguments in order", {"one", "two words"}, 0, true, true, 0, "one\ntwo words\n", ""},
        {"the application fails", {"x"}, 3, true, true, 0, "x\n", ""},
        {"the drive is missing", {"x"}, 0, false, false, 1, "", alertText("Recorder", "Drive")},
        {"the application cannot start",
         {},
         0,
         true,
         false,
         1,
         "",
         "ProxyLauncher: posix_spawn failed with error 2\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        QFile::remove(record);
        recorderApp(c.targetExit);
        AppProxyHelper::createProxyBundle(QStringLiteral("Recorder [Beta]"),
                                          QUrl::fromLocalFile(target), QUrl::fromLocalFile(proxy),
                                          std::nullopt, std::nullopt);
        if (!c.executablePresent)
            QFile::remove(target + QStringLiteral("/Contents/MacOS/Recorder"));
        if (!c.driveConnected)
            std::filesystem::remove_all(QFile::encodeName(target).toStdString());

        const LauncherRun run = runProxy(proxy, c.arguments);

        EXPECT_EQ(run.exitCode, c.expectedExit);
        EXPECT_EQ(QFileInfo::exists(record), c.executablePresent);
        EXPECT_EQ(contentOf(record), c.recorded);
        EXPECT_EQ(QString::fromUtf8(run.standardError), c.errorText);
    }
}

TEST_F(ProxyLauncherTest, AlertNamesFallBackWhenThePropertyListLacksThem)
{
    recorderApp(0);
    AppProxyHelper::createProxyBundle(QStringLiteral("Recorder"), QUrl::fromLocalFile(target),
                                      QUrl::fromLocalFile(proxy), std::nullopt, std::nullopt);
    const QString gone = sandbox.drive() + QStringLiteral("/Applications/Gone.app");
    // A dictionary of XML, without a declaration, naming the application `name`.
    const auto xmlEntries = [&](const QByteArray &name) -> QByteArray {
        return "<dict><key>CFBundleName</key><string>" + name +
               "</string><key>TargetAppPath</key><string>" + gone.toUtf8() +
               "</string><key>TargetVolumeName</key><string>Disk</string></dict>";
    };
    struct Case
    {
        PlistFile::Entries entries;
        QString name, volume;
        QByteArray written = {}; // in place of the entries
    };
    const Case cases[] = {
        {{{"CFBundleName", "Named"}, {"TargetAppPath", gone}, {"TargetVolumeName", "Disk"}},
         "Named",
         "Disk"},
        // Without a target path the drive counts as missing.
        {{{"TargetVolumeName", 3}}, "Application", "External Volume"},
        // A NUL, on which libplist aborts, reads as U+FFFD.
        {{},
         "Na\uFFFDmed",
         "Disk",
         "<plist><dict><key>CFBundleName</key><string>Na" + QByteArray(1, '\0') +
             "med</string><key>TargetAppPath</key><string>" + gone.toUtf8() +
             "</string><key>TargetVolumeName</key><string>Disk</string></dict></plist>"},
        // A unit that libplist cannot hold in a string whose bytes another object shares.
        {{},
         "\uD202\uFFFD",
         "External Volume",
         overlappingUnitList(OverlappingUnit::nulOverReferences)},
        {{},
         "\uD202\uFFFD",
         "CFBundleName",
         overlappingUnitList(OverlappingUnit::surrogateOverReferences)},
        {{},
         QString(220, QLatin1Char('x')),
         "External Volume",
         overlappingUnitList(OverlappingUnit::surrogateOverLength)},
        // A "©" of MacRoman in the old text form reads as U+FFFD, as on the Mac.
        {{},
         "\uFFFD Tool",
         "Disk",
         "{ CFBundleName = \"\xA9 Tool\"; TargetAppPath = \"" + gone.toUtf8() +
             "\"; TargetVolumeName = Disk; }"},
        // Forms the Mac reads: XML in the encoding its declaration names, XML with neither a
        // declaration nor <plist>, a key alone in the old text form, a null in a binary list.
        {{},
         "Caf\u00e9",
         "Disk",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist>" + xmlEntries("Caf\xE9") +
             "</plist>"},
        {{}, "Bare", "Disk", xmlEntries("Bare")},
        {{},
         "CFBundleName",
         "Disk",
         "{ CFBundleName; TargetAppPath = \"" + gone.toUtf8() + "\"; TargetVolumeName = Disk; }"},
        {{},
         "Named",
         "External Volume",
         binaryList({dictionaryObject(3), stringObject("CFBundleDisplayName"),
                     stringObject("CFBundleName"), stringObject("TargetAppPath"),
                     QByteArray(1, '\0'), stringObject("Named"), stringObject(gone.toUtf8())},
                    1)},
    };
    for (const Case &c : cases) {
        if (c.written.isEmpty())
            writeInfoPlist(proxy, c.entries);
        else
            Sandbox::writeFile(proxy + QStringLiteral("/Contents/Info.plist"), c.written);
        const LauncherRun run = runProxy(proxy, {});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(QString::fromUtf8(run.standardError), alertText(c.name, c.volume));
    }
}

// The launcher reads its own Info.plist, and the target's, in every form the program reads.
TEST_F(ProxyLauncherTest, ReadsItsPropertyListInEveryForm)
{
    recorderApp(0);
    AppProxyHelper::createProxyBundle(QStringLiteral("Recorder"), QUrl::fromLocalFile(target),
                                      QUrl::fromLocalFile(proxy), std::nullopt, std::nullopt);
    const QString gone = sandbox.drive() + QStringLiteral("/Applications/Gone.app");
    // Named unlike the bundle, so only the target's Info.plist can lead to it.
    ASSERT_TRUE(QFile::rename(target + QStringLiteral("/Contents/MacOS/Recorder"),
                              target + QStringLiteral("/Contents/MacOS/RecordArgs")));
    for (const InfoPlistForm form : allInfoPlistForms) {
        SCOPED_TRACE(labelOf(form));
        writeInfoPlist(proxy,
                       {{"CFBundleDisplayName", "Caf\u00e9"},
                        {"TargetAppPath", gone},
                        {"TargetVolumeName", "Disk"}},
                       form);
        LauncherRun run = runProxy(proxy, {});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(QString::fromUtf8(run.standardError), alertText("Caf\u00e9", "Disk"));

        writeInfoPlist(proxy, {{"TargetAppPath", target}}, form);
        writeInfoPlist(target, {{"CFBundleExecutable", "RecordArgs"}}, form);
        QFile::remove(record);
        run = runProxy(proxy, {QStringLiteral("one")});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(contentOf(record), "one\n");

        // A target path given twice, and once more under a key that begins with U+FEFF: the
        // launcher starts what the scan reads, which is what the Mac reads. There a leading
        // U+FEFF leaves an XML key, the last value of a key counts in XML and the text form,
        // the first in a binary list.
        const QString expected = form == InfoPlistForm::binary ? QStringLiteral("A")
                                 : form == InfoPlistForm::text ? QStringLiteral("B")
                                                               : QStringLiteral("C");
        Sandbox::writeFile(proxy + QStringLiteral("/Contents/Info.plist"),
                           withKeyRenamed({{"TargetAppPatA", namedApp("A")},
                                           {"TargetAppPath", namedApp("B")},
                                           {QStringLiteral("\uFEFFTargetAppPath"), namedApp("C")}},
                                          form, QStringLiteral("TargetAppPatA"),
                                          QStringLiteral("TargetAppPath")));
        EXPECT_EQ(PlistFile::readDictionary(proxy + QStringLiteral("/Contents/Info.plist"))
                      .value_or(QVariantMap())
                      .value(QStringLiteral("TargetAppPath")),
                  QVariant(sandbox.drive() + QStringLiteral("/Applications/") + expected +
                           QStringLiteral(".app")));
        QFile::remove(record);
        run = runProxy(proxy, {});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(QString::fromUtf8(contentOf(record)), expected);
    }

    // A target path that is no UTF-8 reads as nothing, to the scan and to the launcher (and to
    // the Mac), though a file of that byte name is there.
    const std::string byteName = QFile::encodeName(sandbox.drive()).toStdString() + "/A\xFF.app";
    std::filesystem::create_symlink(QFile::encodeName(namedApp(QStringLiteral("A"))).toStdString(),
                                    byteName);
    Sandbox::writeFile(proxy + QStringLiteral("/Contents/Info.plist"),
                       "<plist><dict><key>TargetAppPath</key><string>" +
                           QByteArray::fromStdString(byteName) + "</string></dict></plist>");
    QFile::remove(record);
    EXPECT_FALSE(PlistFile::readDictionary(proxy + QStringLiteral("/Contents/Info.plist")));
    const LauncherRun run = runProxy(proxy, {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(QFileInfo::exists(record));
}

} // namespace
