// One whole offload through the engine: the copies, their verification, the stand-ins, the ledger
// and the deletion of the originals, for a bundle of many small files.
//
//   bench_offload [files=200000] [rounds=3]
//
// The Mac and the drive are folders of a sandbox in the temporary folder (TMPDIR), so the figure
// is the engine's own work on one disk, not a drive's speed.

#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "services/LedgerService.h"
#include "support/Errors.h"
#include "support/Sandbox.h"
#include "transfer/OffloadEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>

namespace {

AppItem buildApplication(Sandbox &sandbox, int files)
{
    const QString bundle = sandbox.applications() + QStringLiteral("/Many.app");
    Sandbox::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                       "<plist><dict><key>CFBundleIdentifier</key><string>com.example.many"
                       "</string></dict></plist>");
    const QByteArray content(2048, 'm');
    for (int i = 0; i < files; ++i)
        Sandbox::writeFile(
            bundle + QStringLiteral("/Contents/Resources/%1/item%2.dat").arg(i / 500).arg(i),
            content);
    const QString support = sandbox.userSupport() + QStringLiteral("/Many");
    for (int i = 0; i < 10; ++i)
        Sandbox::writeFile(support + QStringLiteral("/state%1").arg(i), content);
    AppItem app{.url = QUrl::fromLocalFile(bundle),
                .name = QStringLiteral("Many"),
                .bundleIdentifier = QStringLiteral("com.example.many"),
                .size = qint64(files) * content.size()};
    app.supportFolders.append({.url = QUrl::fromLocalFile(support),
                               .displayName = QStringLiteral("Many"),
                               .size = 10 * content.size(),
                               .isSelected = true});
    return app;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 200'000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("%d files, load average %.1f\n", files, load[0]);
    for (int round = 0; round < rounds; ++round) {
        Sandbox sandbox;
        const TargetVolume target = sandbox.mountedTarget();
        const AppItem app = buildApplication(sandbox, files);
        LedgerService ledger;
        OffloadEngine engine(ledger);
        engine.setSleeper([](std::chrono::nanoseconds) {});
        QElapsedTimer timer;
        timer.start();
        const std::optional<OperationError> error =
            errorOfFuture(engine.executeOffload(app, target, false), 3'600'000);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        if (error) {
            std::fprintf(stderr, "offload failed: %s\n", qPrintable(error->message()));
            return 1;
        }
        std::printf("round %d: %.2f s\n", round + 1, seconds);
        std::fflush(stdout);
    }
    return 0;
}
