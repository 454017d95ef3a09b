// Fills the demo sandbox that scripts/demo-env lays out: a dozen application bundles of
// different sizes in both Applications folders and their subfolders, Application Support
// folders, then, through the real offload engine, one application moved to the demo drive
// and one backed up there whose local copy an updater has replaced since. The ledger and the
// drive are thus exactly what the program itself would have left.
//
// It writes into the literal system folders (/Applications, /Library/Application Support),
// so it runs only inside the private namespace that scripts/demo-env makes.

#include "base/ByteCount.h"
#include "base/OperationError.h"
#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "platform/System.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Wait.h"
#include "transfer/OffloadEngine.h"
#include "volumes/VolumeManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>
#include <optional>
#include <stdexcept>

namespace {

const char *const sandboxVariable = "KORVANTHELIX_DEMO_SANDBOX";
constexpr qint64 megabyte = 1'000'000;
constexpr int operationTimeoutMs = 10 * 60 * 1000;

enum class Place { applications, userApplications };

struct DemoApp
{
    Place place;
    const char *subfolder; // below the Applications folder; empty at its top
    const char *name;
    const char *identifier;
    const char *version;
    const char *build;
    int megabytes;
    const char *framework; // empty for none
};

// Sizes add up to about 170 MB, so the whole sandbox stays small in memory.
const DemoApp demoApps[] = {
    {Place::applications, "", "Atlas Maps", "com.northwind.atlasmaps", "4.2", "412", 30,
     "MapKitLite"},
    {Place::applications, "", "Calculator", "com.apple.Calculator", "11.0", "", 3, ""},
    {Place::applications, "", "Nimbus Notes", "io.nimbus.notes", "2.8.1", "", 12, ""},
    {Place::applications, "", "Harbor Chat", "chat.harbor.desktop", "5.14", "5140", 18, "Electron"},
    {Place::applications, "", "Orbit Mail", "com.orbitlabs.mail", "3.2", "3200", 9, ""},
    {Place::applications, "", "Tempo Player", "fm.tempo.player", "1.9", "", 8, ""},
    {Place::applications, "", "Quill Writer", "com.quillsoft.writer", "6.0.2", "", 14, "QuillCore"},
    {Place::applications, "Utilities", "Disk Gauge", "net.diskgauge.app", "1.2", "", 3, ""},
    {Place::applications, "Utilities", "Terminal Plus", "com.termplus.terminal", "0.9.7", "", 5,
     ""},
    {Place::applications, "Graphics", "Vector Studio", "com.vectorstudio.app", "2024.1", "", 20,
     "VectorEngine"},
    {Place::applications, "Graphics/Editors", "Pixel Forge", "com.pixelforge.editor", "7.3", "7301",
     40, "ForgeRender"},
    {Place::userApplications, "", "Sketch Pad", "com.sketchpad.mac", "1.0.4", "", 5, ""},
};

enum class SupportRoot { user, system };

struct DemoSupportFolder
{
    SupportRoot root;
    const char *name; // matches its application's name or identifier
    int megabytes;
};

const DemoSupportFolder demoSupportFolders[] = {
    {SupportRoot::user, "Atlas Maps", 6},
    {SupportRoot::system, "Atlas Maps", 2},
    {SupportRoot::user, "Harbor Chat", 4},
    {SupportRoot::user, "io.nimbus.notes", 1},
};

// Moved to the drive, leaving a launcher in its place.
const QString offloadedName = QStringLiteral("Harbor Chat");
// Backed up to the drive, then updated locally.
const QString outOfSyncName = QStringLiteral("Orbit Mail");
const QString updatedVersion = QStringLiteral("3.3");
const QString updatedBuild = QStringLiteral("3310");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void fail(const QString &message)
{
    throw std::runtime_error(message.toStdString());
}

// Incompressible content, the same on every run.
QByteArray contentBytes(qint64 size, const QString &seed)
{
    QByteArray data(size, '\0');
    QRandomGenerator generator(quint32(qHash(seed)));
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / qint64(sizeof(quint32)));
    return data;
}

QString folderOf(const SystemPaths &paths, Place place)
{
    return place == Place::applications ? paths.applications : paths.userApplications;
}

QString bundlePath(const SystemPaths &paths, const DemoApp &app)
{
    QString folder = folderOf(paths, app.place);
    if (*app.subfolder != '\0')
        folder += QLatin1Char('/') + QString::fromUtf8(app.subfolder);
    return folder + QLatin1Char('/') + QString::fromUtf8(app.name) + QStringLiteral(".app");
}

void buildBundle(const SystemPaths &paths, const DemoApp &app,
                 const std::optional<std::pair<QString, QString>> &newVersion = std::nullopt)
{
    const QString name = QString::fromUtf8(app.name);
    const qint64 total = app.megabytes * megabyte;
    // A script that does nothing, padded to the size of a real executable.
    const QByteArray executable =
        QByteArray("#!/bin/sh\nexit 0\n") + contentBytes(total / 4, name + QStringLiteral("/exec"));
    BundleBuilder bundle(bundlePath(paths, app));
    bundle.identifier(QString::fromUtf8(app.identifier))
        .version(newVersion ? newVersion->first : QString::fromUtf8(app.version))
        .plistValue(QStringLiteral("LSMinimumSystemVersion"), QStringLiteral("12.0"))
        .file(QStringLiteral("MacOS/") + name, executable, 0755)
        .file(QStringLiteral("Resources/") + name + QStringLiteral(".pak"),
              contentBytes(total / 2, name + QStringLiteral("/pak")))
        .file(QStringLiteral("Resources/Assets.car"),
              contentBytes(total - total / 4 - total / 2, name + QStringLiteral("/assets")))
        .file(QStringLiteral("Resources/en.lproj/InfoPlist.strings"),
              QByteArray("\"CFBundleName\" = \"") + app.name + "\";\n")
        .file(QStringLiteral("PkgInfo"), QByteArray("APPL????"));
    if (newVersion)
        bundle.buildNumber(newVersion->second);
    else if (*app.build != '\0')
        bundle.buildNumber(QString::fromUtf8(app.build));
    if (*app.framework != '\0')
        bundle.framework(QString::fromUtf8(app.framework));
    bundle.build();
}

void writeSupportFolder(const SystemPaths &paths, const DemoSupportFolder &folder)
{
    const QString root = folder.root == SupportRoot::user ? paths.userSupport : paths.systemSupport;
    const QString path = root + QLatin1Char('/') + QString::fromUtf8(folder.name);
    const auto write = [&](const QString &relative, const QByteArray &content) {
        const QString file = path + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile output(file);
        if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            output.write(content) != content.size())
            fail(QStringLiteral("cannot write ") + file);
    };
    write(QStringLiteral("Preferences.json"), QByteArray("{\"theme\": \"system\"}\n"));
    write(QStringLiteral("Cache/data.bin"),
          contentBytes(folder.megabytes * megabyte, path + QStringLiteral("/cache")));
}

void layOut(const SystemPaths &paths)
{
    for (const QString &folder : {paths.applications, paths.userApplications})
        QDir().mkpath(folder);
    for (const DemoApp &app : demoApps)
        buildBundle(paths, app);
    for (const DemoSupportFolder &folder : demoSupportFolders)
        writeSupportFolder(paths, folder);
}

void await(const QFuture<void> &future, const QString &what)
{
    if (!waitFor(future, operationTimeoutMs))
        fail(what + QStringLiteral(" did not finish"));
    try {
        QFuture<void>(future).waitForFinished();
    } catch (const OperationError &error) {
        fail(what + QStringLiteral(" failed: ") + error.message());
    }
}

TargetVolume findDrive(const VolumeManager &volumes, const QString &drivePath)
{
    std::optional<TargetVolume> found;
    const bool listed = waitUntil([&] {
        for (const TargetVolume &volume : volumes.availableVolumes()) {
            if (volume.url.toLocalFile() == drivePath)
                found = volume;
        }
        return found.has_value();
    });
    if (!listed)
        fail(QStringLiteral("the drive at ") + drivePath + QStringLiteral(" is not listed"));
    return *found;
}

AppItem scanFor(AppScanner &scanner, const QString &path)
{
    await(scanner.scanAsync(), QStringLiteral("The scan"));
    for (const AppItem &item : scanner.apps()) {
        if (item.id() == path)
            return item;
    }
    fail(QStringLiteral("the scan did not find ") + path);
    return {};
}

const DemoApp &demoApp(const QString &name)
{
    for (const DemoApp &app : demoApps) {
        if (QString::fromUtf8(app.name) == name)
            return app;
    }
    fail(QStringLiteral("no demo application named ") + name);
    return demoApps[0];
}

void offloadAndBackUp(const SystemPaths &paths, const QString &drivePath)
{
    LedgerService &ledger = LedgerService::shared();
    VolumeManager volumes(&ledger);
    const TargetVolume drive = findDrive(volumes, drivePath);
    AppScanner scanner(ledger);
    OffloadEngine engine(ledger);

    const QString offloaded = bundlePath(paths, demoApp(offloadedName));
    await(engine.executeOffload(scanFor(scanner, offloaded), drive, false),
          QStringLiteral("Offloading ") + offloadedName);

    const DemoApp &outOfSync = demoApp(outOfSyncName);
    await(engine.executeOffload(scanFor(scanner, bundlePath(paths, outOfSync)), drive, true),
          QStringLiteral("Backing up ") + outOfSyncName);
    // What an updater leaves: the same bundle at a newer version.
    buildBundle(paths, outOfSync, std::pair{updatedVersion, updatedBuild});

    await(scanner.scanAsync(), QStringLiteral("The final scan"));
    out() << "Demo inventory:\n";
    for (const AppItem &item : scanner.apps())
        out() << "  " << item.name.leftJustified(16) << ' '
              << label(item.status()).leftJustified(18) << ' '
              << formatFileSize(item.size).leftJustified(10) << ' ' << item.id() << '\n';
    out().flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvanthelix"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvanthelix"));
    QTextStream errors(stderr);

    if (!qEnvironmentVariableIsSet(sandboxVariable)) {
        errors << "demo-seed: writes into /Applications; run it through scripts/demo-env\n";
        return 2;
    }
    const SystemPaths paths = System::current().paths();
    const QStringList arguments = QCoreApplication::arguments();
    const QString drivePath =
        arguments.size() > 1 ? arguments[1] : paths.volumesRoot + QStringLiteral("/DemoDrive");
    if (!QDir(paths.applications).isEmpty()) {
        errors << "demo-seed: " << paths.applications << " is not empty; not a fresh sandbox\n";
        return 2;
    }
    try {
        layOut(paths);
        offloadAndBackUp(paths, drivePath);
    } catch (const std::exception &error) {
        errors << "demo-seed: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
