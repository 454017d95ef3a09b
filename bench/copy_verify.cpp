// Staged copy plus verification through the offload engine, against `cp -a` followed by
// `sha256sum` over every file of both trees, for each size in turn and onto each kind of drive.
//
//   bench_copy_verify [work folder=/dev/shm] [MiB:files ...=1024:20000 400:200000]
//
// The work folder holds the bundle (the Mac). The drives: a folder of the work folder (on a
// tmpfs such as /dev/shm, the disk stays out of the figures) and, as root, a loop-mounted ext4
// whose image lies in the work folder, mounted in a private mount namespace that the program
// enters itself. On that drive the engine's verification reads the copy back from the drive, as
// it does from a real one; next to it a bare read-back of the copy (flush, drop the cached
// pages, read every file on all cores, no hashing) is the floor the verification can approach.
// Each size is built, measured (the first three times) and removed before the next. The
// verification and the read-back run in child processes of their own, so that their peak memory
// (getrusage) is their own.
//
//   bench_copy_verify --verify SOURCE COPY   (a child: prints seconds, peak and base KiB, cpu)
//   bench_copy_verify --read-back COPY       (a child: prints seconds of the reads, of all)

#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "platform/System.h"
#include "transfer/CopyRunner.h"
#include "transfer/DriveLayout.h"
#include "transfer/OffloadEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Processor seconds (user and system) of this process or of its reaped children. Next to the
// wall times they show how much of the machine a step got: another load halves the
// verification's threads but hardly slows a single-threaded copy.
double cpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    const auto toSeconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

qint64 peakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss);
}

// The child: one verification through the engine, then its time and memory.
int verifyOnly(const QString &source, const QString &copy)
{
    OffloadEngine engine;
    const qint64 base = peakKiB();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    if (!engine.verifyCopiedItem(QUrl::fromLocalFile(source), QUrl::fromLocalFile(copy))) {
        std::fprintf(stderr, "verification failed\n");
        return 1;
    }
    const double elapsed = seconds(timer);
    std::printf("%.6f %lld %lld %.6f\n", elapsed, qint64(peakKiB()), base,
                cpuSeconds(RUSAGE_SELF) - cpuBefore);
    return 0;
}

// The other child: every file of `copy` read from the drive on all cores, nothing computed.
int readBack(const QString &copy)
{
    QStringList notices;
    if (const int err = System::current().storage().flushFolder(copy, {{copy}, {}}, notices)) {
        std::fprintf(stderr, "flush failed: %s\n", std::strerror(err));
        return 1;
    }
    QElapsedTimer listing;
    listing.start();
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator
             it(QFile::encodeName(copy).toStdString(), error),
         end;
         it != end; it.increment(error)) {
        if (it->is_regular_file(error) && !it->is_symlink(error))
            files.push_back(it->path().string());
    }
    // The reads are timed alone too: the floor of what a verification must read from the drive.
    QElapsedTimer timer;
    timer.start();
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < QThreadPool::globalInstance()->maxThreadCount(); ++i) {
        readers.emplace_back([&] {
            std::vector<char> buffer(static_cast<size_t>(IntegrityVerifier::chunkSize));
            for (size_t at = next++; at < files.size(); at = next++) {
                const int fd = ::open(files[at].c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    failed = true;
                    continue;
                }
                if (System::current().storage().readPastCache(fd) != 0)
                    failed = true;
                while (::read(fd, buffer.data(), buffer.size()) > 0) {
                }
                ::close(fd);
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    if (failed)
        return 1;
    std::printf("%.6f %.6f\n", seconds(timer), seconds(listing));
    return 0;
}

struct Figures
{
    QString drive;
    int files = 0;
    double mib = 0;
    double referenceCopy = 0;
    double referenceTotal = 0;
    double engineCopy = 0;
    double flush = 0;
    double referenceCpu = 0;
    double copyCpu = 0;
    qint64 peakKiB = 0;
    qint64 baseKiB = 0;
    struct Run
    {
        double verification = 0;
        double verificationCpu = 0;
        double readBack = 0;       // the reads alone
        double listedReadBack = 0; // finding the files (one thread) and reading them
    };
    Run runs[2];

    [[nodiscard]] const Run &fasterVerification() const
    {
        return runs[1].verification < runs[0].verification ? runs[1] : runs[0];
    }
    [[nodiscard]] const Run &fasterReadBack() const
    {
        return runs[1].listedReadBack < runs[0].listedReadBack ? runs[1] : runs[0];
    }
    // As in a real offload: the copy, its flush and the first verification after them.
    [[nodiscard]] double copyAndVerify() const { return engineCopy + flush + runs[0].verification; }
};

// A drive to copy onto: a folder of the work folder, or a loop-mounted ext4 made there.
struct Drive
{
    QString name;
    QString root;
};

std::optional<Drive> makeExt4Drive(const QString &work, qint64 mib, int files)
{
    const QString image = work + QStringLiteral("/drive.img");
    const QString root = work + QStringLiteral("/ext4");
    QDir().mkpath(root);
    {
        QFile file(image);
        // Room for two copies (each small file takes a block of its own) and their inodes; the
        // image is sparse, and deleted files give their room back (discard).
        const qint64 copyMiB = mib + qint64(files) * 8 / 1024;
        if (!file.open(QIODevice::WriteOnly) || !file.resize((2 * copyMiB + 1024) * mebibyte))
            return std::nullopt;
    }
    const SubprocessResult formatted =
        Subprocess::run(QStringLiteral("mkfs.ext4"),
                        {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-N"),
                         QString::number(2 * files + 10000), QStringLiteral("-E"),
                         QStringLiteral("lazy_itable_init=0,lazy_journal_init=0"), image});
    const SubprocessResult mounted =
        formatted.succeeded()
            ? Subprocess::run(QStringLiteral("mount"),
                              {QStringLiteral("-o"), QStringLiteral("loop,discard"), image, root})
            : formatted;
    if (!mounted.succeeded()) {
        std::fprintf(stderr, "no ext4 drive: %s\n", qPrintable(mounted.failureText()));
        return std::nullopt;
    }
    return Drive{QStringLiteral("loop ext4"), root};
}

std::optional<Figures> measure(const QString &source, const Drive &drive, const QString &self)
{
    Figures figures;
    figures.drive = drive.name;

    // Reference: cp -a, then sha256sum over every file of both trees.
    const QString reference = drive.root + QStringLiteral("/reference/Synthetic.app");
    QDir().mkpath(PathUtils::parentPath(reference));
    QElapsedTimer timer;
    double cpu = cpuSeconds(RUSAGE_CHILDREN);
    timer.start();
    const SubprocessResult copied =
        Subprocess::run(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("-T"),
                                               QStringLiteral("--"), source, reference});
    if (!copied.succeeded()) {
        std::fprintf(stderr, "cp -a failed: %s\n",
                     qPrintable(CopyRunner::firstLines(copied.failureText(), 5)));
        return std::nullopt;
    }
    figures.referenceCopy = seconds(timer);
    const SubprocessResult hashed = Subprocess::run(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("find \"$1\" \"$2\" -type f -print0 | xargs -0 sha256sum > /dev/null"),
         QStringLiteral("sh"), source, reference});
    figures.referenceTotal = seconds(timer);
    figures.referenceCpu = cpuSeconds(RUSAGE_CHILDREN) - cpu;
    if (!hashed.succeeded()) {
        std::fprintf(stderr, "sha256sum failed: %s\n", qPrintable(hashed.failureText()));
        return std::nullopt;
    }
    QDir(PathUtils::parentPath(reference)).removeRecursively();
    QStringList notices;
    (void)System::current().storage().flushFolder(drive.root, {}, notices);

    // The engine: staged copy and its flush here, verification and read-back in children.
    OffloadEngine engine;
    const QString finalPath = drive.root + QStringLiteral("/Applications/Synthetic.app");
    const QString staged =
        DriveLayout::stagedLocation(QUrl::fromLocalFile(finalPath)).toLocalFile();
    QDir().mkpath(PathUtils::parentPath(finalPath));
    cpu = cpuSeconds(RUSAGE_CHILDREN);
    timer.restart();
    try {
        engine.runDittoCopy(source, staged);
    } catch (const OperationError &error) {
        std::fprintf(stderr, "copy failed: %s\n", error.what());
        return std::nullopt;
    }
    figures.engineCopy = seconds(timer);
    figures.copyCpu = cpuSeconds(RUSAGE_CHILDREN) - cpu;
    timer.restart();
    if (const int err =
            System::current().storage().flushFolder(drive.root, {{staged}, {}}, notices)) {
        std::fprintf(stderr, "flush failed: %s\n", std::strerror(err));
        return std::nullopt;
    }
    figures.flush = seconds(timer);

    // Each is measured twice, in turn, and its better run set against the other's: the first
    // read of the copy from the drive after it was written can be several times slower,
    // whichever program makes it (seen on a virtual machine, in the loop device's copying from
    // its image). The verification goes first, as after a real copy, and that first run is the
    // one in the copy + verification figure.
    for (int run = 0; run < 2; ++run) {
        const SubprocessResult child =
            Subprocess::run(self, {QStringLiteral("--verify"), source, staged});
        const QStringList fields =
            child.outputText().trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!child.succeeded() || fields.size() != 4) {
            std::fprintf(stderr, "verification failed: %s\n", qPrintable(child.failureText()));
            return std::nullopt;
        }
        const SubprocessResult read =
            Subprocess::run(self, {QStringLiteral("--read-back"), staged});
        const QStringList times = read.outputText().trimmed().split(QLatin1Char(' '));
        if (!read.succeeded() || times.size() != 2) {
            std::fprintf(stderr, "read-back failed: %s\n", qPrintable(read.failureText()));
            return std::nullopt;
        }
        Figures::Run &measured = figures.runs[run];
        measured = {fields.at(0).toDouble(), fields.at(3).toDouble(), times.at(0).toDouble(),
                    times.at(1).toDouble()};
        figures.peakKiB = std::max(figures.peakKiB, fields.at(1).toLongLong());
        figures.baseKiB = std::max(figures.baseKiB, fields.at(2).toLongLong());
    }
    QDir(drive.root + QStringLiteral("/Applications")).removeRecursively();
    return figures;
}

void print(const Figures &f)
{
    const Figures::Run &verified = f.fasterVerification();
    const Figures::Run &read = f.fasterReadBack();
    std::printf("%d files, %.1f MiB, onto %s\n", f.files, f.mib, qPrintable(f.drive));
    std::printf("  engine copy:                %8.3f s  (processor %.3f s)\n", f.engineCopy,
                f.copyCpu);
    std::printf("  flush of the drive:         %8.3f s\n", f.flush);
    std::printf("  engine verification:        %8.3f s  (processor %.3f s; read back from the "
                "drive; runs %.3f s, %.3f s)\n",
                verified.verification, verified.verificationCpu, f.runs[0].verification,
                f.runs[1].verification);
    std::printf("  bare read-back:             %8.3f s  (reads alone %.3f s; runs %.3f s, %.3f s; "
                "verification / read-back %.3f, / reads alone %.3f, target <= 1.25)\n",
                read.listedReadBack, read.readBack, f.runs[0].listedReadBack,
                f.runs[1].listedReadBack, verified.verification / read.listedReadBack,
                verified.verification / read.readBack);
    std::printf("  copy + flush + verification:%8.3f s  (the first verification)\n",
                f.copyAndVerify());
    std::printf("  cp -a + sha256sum:          %8.3f s  (copy %.3f s, hashing %.3f s; processor "
                "%.3f s)\n",
                f.referenceTotal, f.referenceCopy, f.referenceTotal - f.referenceCopy,
                f.referenceCpu);
    std::printf("  engine / reference:         %8.3f\n", f.copyAndVerify() / f.referenceTotal);
    std::printf("  verification peak RSS:      %8.1f MiB (%.1f MiB before it started)\n",
                double(f.peakKiB) / 1024.0, double(f.baseKiB) / 1024.0);
}

// As root the program runs itself again in a mount namespace of its own, where it may mount its
// ext4 drive without the machine seeing it. Without unshare it goes on here, tmpfs only.
void enterPrivateMounts(char **argv)
{
    if (::geteuid() != 0 || std::getenv("KORVANTHELIX_BENCH_MOUNTS"))
        return;
    ::setenv("KORVANTHELIX_BENCH_MOUNTS", "1", 1);
    std::vector<char *> arguments{const_cast<char *>("unshare"), const_cast<char *>("--mount"),
                                  const_cast<char *>("--propagation"),
                                  const_cast<char *>("private")};
    for (char **arg = argv; *arg; ++arg)
        arguments.push_back(*arg);
    arguments.push_back(nullptr);
    ::execvp("unshare", arguments.data());
    ::unsetenv("KORVANTHELIX_BENCH_MOUNTS");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 ||
        (std::strcmp(argv[1], "--verify") != 0 && std::strcmp(argv[1], "--read-back") != 0))
        enterPrivateMounts(argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == QLatin1String("--verify"))
        return verifyOnly(args.at(2), args.at(3));
    if (args.size() == 3 && args.at(1) == QLatin1String("--read-back"))
        return readBack(args.at(2));

    const QString base = args.size() > 1 ? args.at(1) : QStringLiteral("/dev/shm");
    QList<std::pair<qint64, int>> sizes;
    for (qsizetype i = 2; i < args.size(); ++i) {
        const QStringList parts = args.at(i).split(QLatin1Char(':'));
        if (parts.size() != 2 || parts.at(0).toLongLong() <= 0 || parts.at(1).toInt() <= 10) {
            std::fprintf(stderr, "usage: bench_copy_verify [work folder] [MiB:files ...]\n");
            return 2;
        }
        sizes.append({parts.at(0).toLongLong(), parts.at(1).toInt()});
    }
    if (sizes.isEmpty())
        sizes = {{1024, 20000}, {400, 200000}};
    const bool ext4 = std::getenv("KORVANTHELIX_BENCH_MOUNTS") != nullptr;

    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("%d processors, load average %.1f, work folder %s%s\n",
                QThreadPool::globalInstance()->maxThreadCount(), load[0], qPrintable(base),
                ext4 ? "" : " (not root: no ext4 drive)");
    std::fflush(stdout);
    QMap<QString, QList<Figures>> byDrive;
    for (const auto &[mib, files] : std::as_const(sizes)) {
        QTemporaryDir work(base + QStringLiteral("/copy_verify-XXXXXX"));
        if (!work.isValid()) {
            std::fprintf(stderr, "cannot make a work folder under %s\n", qPrintable(base));
            return 1;
        }
        const QString source = work.filePath(QStringLiteral("Mac/Synthetic.app"));
        SyntheticBundle bundle(source, mib * mebibyte, files);
        bundle.build();
        QList<Drive> drives{{QStringLiteral("tmpfs"), work.filePath(QStringLiteral("tmpfs"))}};
        QDir().mkpath(drives.first().root);
        if (ext4) {
            if (const std::optional<Drive> drive = makeExt4Drive(work.path(), mib, files))
                drives.append(*drive);
        }
        // The first size, the one the copy + verification goal is set at, is measured three
        // times and its middle round by that ratio kept: on a shared machine one round can be
        // twice as slow as the next.
        const int rounds = byDrive.isEmpty() ? 3 : 1;
        for (const Drive &drive : std::as_const(drives)) {
            QList<Figures> measured;
            for (int round = 0; round < rounds; ++round) {
                std::optional<Figures> figures = measure(source, drive, app.applicationFilePath());
                if (!figures)
                    return 1;
                measured.append(*figures);
            }
            std::sort(measured.begin(), measured.end(), [](const Figures &a, const Figures &b) {
                return a.copyAndVerify() / a.referenceTotal < b.copyAndVerify() / b.referenceTotal;
            });
            Figures kept = measured.at(measured.size() / 2);
            kept.files = bundle.filesWritten();
            kept.mib = double(bundle.bytesWritten()) / double(mebibyte);
            print(kept);
            if (rounds > 1) {
                std::printf("  engine / reference by round:");
                for (const Figures &figures : std::as_const(measured))
                    std::printf(" %.3f", figures.copyAndVerify() / figures.referenceTotal);
                std::printf(" (the middle one above)\n");
            }
            std::fflush(stdout);
            byDrive[drive.name].append(kept);
        }
        if (ext4)
            (void)Subprocess::run(QStringLiteral("umount"),
                                  {work.filePath(QStringLiteral("ext4"))});
    }
    for (auto it = byDrive.cbegin(); it != byDrive.cend(); ++it) {
        const QList<Figures> &all = it.value();
        if (all.size() < 2)
            continue;
        const Figures &first = all.first();
        std::printf("%s: verification peak RSS, %d files / %d files: %.3f (target <= 1.25)\n",
                    qPrintable(it.key()), all.last().files, first.files,
                    double(all.last().peakKiB) / double(first.peakKiB));
        std::printf("%s: copy + verification / reference at %d files: %.3f (target <= 0.6)\n",
                    qPrintable(it.key()), first.files,
                    first.copyAndVerify() / first.referenceTotal);
    }
    return 0;
}
