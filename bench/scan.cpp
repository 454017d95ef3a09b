// Inventory scan throughput: a synthetic Mac with 1,000 bundles (or as many as the first
// argument says) of 50 files each, some of them offloaded behind links and proxies, scanned
// once. Reports when the list is first published and when every size is in, beside `du -sb`
// over the same trees.

#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int defaultBundleCount = 1000;
constexpr int filesPerBundle = 50; // Info.plist, the executable and 48 resources
constexpr int linkEvery = 10;      // every tenth application is offloaded behind a link...
constexpr int proxyEvery = 25;     // ...and every 25th behind a proxy instead

QString buildBundle(const QString &path, int index)
{
    BundleBuilder builder(path);
    builder.identifier(QStringLiteral("com.bench.app%1").arg(index))
        .version(QStringLiteral("1.%1").arg(index % 7))
        .executableSize(8192);
    for (int f = 0; f < filesPerBundle - 2; ++f)
        builder.file(QStringLiteral("Resources/r%1.dat").arg(f),
                     QByteArray(512 + (f * 37) % 2048, 'r'));
    return builder.build();
}

void buildInventory(Sandbox &sandbox, int bundleCount)
{
    const QString driveApps = sandbox.drive() + QStringLiteral("/Applications");
    for (int i = 0; i < bundleCount; ++i) {
        const QString name = QStringLiteral("App %1").arg(i);
        const QString folder = i % 3 == 0
                                   ? sandbox.applications() + QStringLiteral("/Group %1").arg(i % 9)
                                   : sandbox.applications();
        if (i % proxyEvery == 0) {
            const QString target =
                buildBundle(driveApps + QLatin1Char('/') + name + QStringLiteral(".app"), i);
            BundleBuilder(folder + QLatin1Char('/') + name + QStringLiteral(".app"))
                .plistValue(QStringLiteral("TargetAppPath"), target)
                .build();
        } else if (i % linkEvery == 0) {
            const QString target =
                buildBundle(driveApps + QLatin1Char('/') + name + QStringLiteral(".app"), i);
            sandbox.makeSymlink(folder + QLatin1Char('/') + name + QStringLiteral(".app"), target);
        } else {
            buildBundle(folder + QLatin1Char('/') + name + QStringLiteral(".app"), i);
        }
        if (i % 5 == 0)
            sandbox.writeFile(sandbox.userSupport() + QLatin1Char('/') + name +
                                  QStringLiteral("/data"),
                              QByteArray(4096, 's'));
    }
}

double duSeconds(const QStringList &trees)
{
    QElapsedTimer timer;
    timer.start();
    QProcess du;
    du.start(QStringLiteral("du"), QStringList{QStringLiteral("-sb")} + trees);
    du.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int bundleCount = argc > 1 ? std::atoi(argv[1]) : defaultBundleCount;
    if (bundleCount <= 0) {
        std::fprintf(stderr, "usage: %s [bundle count]\n", argv[0]);
        return 2;
    }
    Sandbox sandbox;
    std::printf("building %d bundles of %d files...\n", bundleCount, filesPerBundle);
    buildInventory(sandbox, bundleCount);

    LedgerService ledger;
    AppScanner scanner(ledger);
    QElapsedTimer timer;
    double listed = -1;
    QObject::connect(&scanner, &AppScanner::scanStatusChanged, &scanner, [&] {
        if (listed < 0 && scanner.scanStatus().startsWith(QLatin1String("Calculating sizes for")))
            listed = timer.nsecsElapsed() / 1e9;
    });
    timer.start();
    const QFuture<void> scan = scanner.scanAsync();
    if (!waitFor(scan, 600000)) {
        std::fprintf(stderr, "scan did not finish\n");
        return 1;
    }
    const double complete = timer.nsecsElapsed() / 1e9;

    const double du = duSeconds(
        {sandbox.applications(), sandbox.drive(), sandbox.userSupport(), sandbox.systemSupport()});
    std::printf("applications: %lld, redundant copies: %lld\n", qint64(scanner.apps().size()),
                qint64(scanner.duplicateLocalInstances().size()));
    std::printf("list published: %.3f s (target < 0.5 s)\n", listed);
    std::printf("scan complete:  %.3f s\n", complete);
    std::printf("du -sb:         %.3f s (target: scan complete <= du)\n", du);
    return 0;
}
