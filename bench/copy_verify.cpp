// Staged copy plus verification through the offload engine, against `cp -a` followed by
// `sha256sum` over every file of both trees, on one synthetic bundle in the same run.
//
//   bench_copy_verify [MiB=1024] [files=20000] [work folder=the temp folder]
//
// The work folder holds the bundle and both copies, so all of them share a file system.
// Both sides run the same copy tool, so where creating files dominates (a slow disk) that
// shared cost bounds the ratio; a tmpfs folder such as /dev/shm shows the verification's gain.

#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "transfer/DriveLayout.h"
#include "transfer/OffloadEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace {

constexpr qint64 mebibyte = 1'048'576;

// Writes a bundle of about `totalBytes` in `fileCount` files: a few large binaries, a few
// hundred medium resources and a long tail of small ones (some empty), spread over nested
// versioned frameworks with their relative links.
class SyntheticBundle
{
public:
    SyntheticBundle(QString root, qint64 totalBytes, int fileCount)
        : m_root(std::move(root))
        , m_total(totalBytes)
        , m_count(fileCount)
    {
        std::mt19937_64 random(42);
        m_noise.resize(8 * mebibyte);
        for (qsizetype i = 0; i + 8 <= m_noise.size(); i += 8) {
            const quint64 value = random();
            std::memcpy(m_noise.data() + i, &value, 8);
        }
    }

    void build()
    {
        std::mt19937 random(7);
        const QString contents = m_root + QStringLiteral("/Contents");
        write(contents + QStringLiteral("/Info.plist"), 2048, random);

        const int frameworkCount = std::max(1, m_count / 400);
        const int large = 4;
        const int medium = std::min(200, m_count / 20);
        const int small = std::max(0, m_count - large - medium - 1 - frameworkCount);
        const qint64 largeSize = m_total / 16;
        const qint64 mediumSize = medium ? (m_total * 3 / 10) / medium : 0;
        const qint64 smallBytes =
            std::max<qint64>(0, m_total - large * largeSize - medium * mediumSize);
        const qint64 smallAverage = small ? smallBytes / small : 0;

        const QStringList folders = frameworkFolders(contents, frameworkCount);
        write(contents + QStringLiteral("/MacOS/Synthetic"), largeSize, random);
        for (const QString &executable : std::as_const(m_executables))
            write(executable, 4096 + qint64(random() % 65536), random);
        for (int i = 1; i < large; ++i)
            write(folders.at(i % folders.size()) + QStringLiteral("/Binary") + QString::number(i),
                  largeSize, random);
        for (int i = 0; i < medium; ++i)
            write(folders.at(i % folders.size()) + QStringLiteral("/Resources/asset") +
                      QString::number(i) + QStringLiteral(".car"),
                  mediumSize / 2 + qint64(random() % quint64(mediumSize + 1)), random);
        for (int i = 0; i < small; ++i) {
            const qint64 size =
                (i % 50 == 0) ? 0 : qint64(random() % quint64(2 * smallAverage + 1));
            write(folders.at(i % folders.size()) + QStringLiteral("/Resources/") +
                      QString::number(i / 500) + QStringLiteral("/item") + QString::number(i) +
                      QStringLiteral(".dat"),
                  size, random);
        }
    }

    [[nodiscard]] qint64 bytesWritten() const { return m_written; }
    [[nodiscard]] int filesWritten() const { return m_files; }

private:
    // Version folders of `count` frameworks, every fourth nested inside the one before.
    QStringList frameworkFolders(const QString &contents, int count)
    {
        QStringList versions;
        QString parent = contents;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("Kit") + QString::number(i);
            const QString framework =
                parent + QStringLiteral("/Frameworks/") + name + QStringLiteral(".framework");
            const QString version = framework + QStringLiteral("/Versions/A");
            QDir().mkpath(version + QStringLiteral("/Resources"));
            link(framework + QStringLiteral("/Versions/Current"), QStringLiteral("A"));
            link(framework + QLatin1Char('/') + name, QStringLiteral("Versions/Current/") + name);
            link(framework + QStringLiteral("/Resources"),
                 QStringLiteral("Versions/Current/Resources"));
            versions.append(version);
            m_executables.append(version + QLatin1Char('/') + name);
            parent = (i % 4 == 3) ? version : contents;
        }
        return versions;
    }

    static void link(const QString &path, const QString &text)
    {
        if (::symlink(QFile::encodeName(text).constData(), QFile::encodeName(path).constData()) !=
            0)
            std::perror("symlink");
    }

    void write(const QString &path, qint64 size, std::mt19937 &random)
    {
        QDir().mkpath(PathUtils::parentPath(path));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        qint64 left = size;
        while (left > 0) {
            const qint64 offset = qint64(random() % quint64(m_noise.size() / 2));
            const qint64 chunk = std::min(left, qint64(m_noise.size()) - offset);
            file.write(m_noise.constData() + offset, chunk);
            left -= chunk;
        }
        m_written += size;
        ++m_files;
    }

    QString m_root;
    qint64 m_total;
    int m_count;
    QByteArray m_noise;
    QStringList m_executables;
    qint64 m_written = 0;
    int m_files = 0;
};

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 mib = args.size() > 1 ? args.at(1).toLongLong() : 1024;
    const int files = args.size() > 2 ? args.at(2).toInt() : 20000;
    const QString base = args.size() > 3 ? args.at(3) : QDir::tempPath();
    if (mib <= 0 || files <= 10) {
        std::fprintf(stderr, "usage: bench_copy_verify [MiB>0] [files>10] [work folder]\n");
        return 2;
    }

    QTemporaryDir work(base + QStringLiteral("/copy_verify-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a work folder under %s\n", qPrintable(base));
        return 1;
    }
    const QString source = work.filePath(QStringLiteral("Synthetic.app"));
    SyntheticBundle bundle(source, mib * mebibyte, files);
    bundle.build();
    std::printf("bundle: %d files, %.1f MiB in %s\n", bundle.filesWritten(),
                double(bundle.bytesWritten()) / double(mebibyte), qPrintable(work.path()));

    // Reference: cp -a, then sha256sum over every file of both trees.
    const QString reference = work.filePath(QStringLiteral("reference/Synthetic.app"));
    QDir().mkpath(PathUtils::parentPath(reference));
    QElapsedTimer timer;
    timer.start();
    if (!Subprocess::run(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("-T"),
                                                QStringLiteral("--"), source, reference})
             .succeeded()) {
        std::fprintf(stderr, "cp -a failed\n");
        return 1;
    }
    const double referenceCopy = seconds(timer);
    const SubprocessResult hashed = Subprocess::run(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("find \"$1\" \"$2\" -type f -print0 | xargs -0 sha256sum > /dev/null"),
         QStringLiteral("sh"), source, reference});
    const double referenceTotal = seconds(timer);
    if (!hashed.succeeded()) {
        std::fprintf(stderr, "sha256sum failed: %s\n", qPrintable(hashed.failureText()));
        return 1;
    }
    QDir(PathUtils::parentPath(reference)).removeRecursively();

    // The engine: staged copy, verification, commit.
    OffloadEngine engine;
    const QString finalPath = work.filePath(QStringLiteral("Drive/Applications/Synthetic.app"));
    const QString staged =
        DriveLayout::stagedLocation(QUrl::fromLocalFile(finalPath)).toLocalFile();
    QDir().mkpath(PathUtils::parentPath(finalPath));
    timer.restart();
    try {
        engine.runDittoCopy(source, staged);
    } catch (const OperationError &error) {
        std::fprintf(stderr, "copy failed: %s\n", error.what());
        return 1;
    }
    const double engineCopy = seconds(timer);
    if (!engine.verifyCopiedItem(QUrl::fromLocalFile(source), QUrl::fromLocalFile(staged))) {
        const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
            QUrl::fromLocalFile(source), QUrl::fromLocalFile(staged));
        std::fprintf(stderr, "verification failed: %s\n",
                     qPrintable(verdict.reason.value_or(QString())));
        return 1;
    }
    const double engineVerified = seconds(timer);
    engine.commitStagedItem(QUrl::fromLocalFile(staged), QUrl::fromLocalFile(finalPath));
    const double engineTotal = seconds(timer);

    std::printf("cp -a + sha256sum:        %7.3f s (copy %.3f s, hashing %.3f s)\n", referenceTotal,
                referenceCopy, referenceTotal - referenceCopy);
    std::printf("engine copy + verify:     %7.3f s (copy %.3f s, verification %.3f s, "
                "commit %.3f s)\n",
                engineTotal, engineCopy, engineVerified - engineCopy, engineTotal - engineVerified);
    std::printf("ratio engine/reference:   %7.3f (target <= 0.6)\n", engineTotal / referenceTotal);
    return 0;
}
