// The look for who may still change a tree, on this machine's real processes: 1,000 sleeping
// children (or as many as the first argument says), each holding a few descriptors and a shared
// mapping of files outside the tree, and a tree of 20,000 files (or the second argument's),
// one of which one child holds open for writing. The walk of the tree and the look at every
// process are timed apart, a few rounds each.

#include "platform/EjectTools.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int defaultChildren = 1000;
constexpr int defaultFiles = 20000;
constexpr int filesPerFolder = 100;
constexpr int rounds = 5;

// A child holds its files until it is killed; it may only make plain system calls.
[[noreturn]] void hold(const QByteArray &outside, const QByteArray &written, int ready)
{
    for (int i = 0; i < 4; ++i)
        (void)::open(outside.constData(), i % 2 ? O_RDONLY : O_RDWR);
    const int fd = ::open(outside.constData(), O_RDWR);
    if (fd >= 0)
        (void)::mmap(nullptr, 4, PROT_READ, MAP_SHARED, fd, 0);
    if (!written.isEmpty())
        (void)::open(written.constData(), O_WRONLY | O_APPEND);
    const char byte = 1;
    (void)::write(ready, &byte, 1);
    for (;;)
        ::pause();
}

double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times.at(times.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    const int children = argc > 1 ? std::atoi(argv[1]) : defaultChildren;
    const int files = argc > 2 ? std::atoi(argv[2]) : defaultFiles;
    if (children < 1 || files < 1) {
        std::fprintf(stderr, "usage: %s [children] [files in the tree]\n", argv[0]);
        return 2;
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString tree = dir.filePath(QStringLiteral("Tree"));
    for (int i = 0; i < files; ++i) {
        const QString folder = tree + QStringLiteral("/f%1").arg(i / filesPerFolder);
        if (i % filesPerFolder == 0 && !QDir().mkpath(folder))
            return 1;
        QFile file(folder + QStringLiteral("/item%1.db").arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write("x");
    }
    const QByteArray outside = QFile::encodeName(dir.filePath(QStringLiteral("outside.db")));
    QFile(QFile::decodeName(outside)).open(QIODevice::WriteOnly);
    const QByteArray written = QFile::encodeName(tree + QStringLiteral("/f0/item0.db"));

    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        int ready[2];
        if (::pipe(ready) != 0)
            break;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            hold(outside, i == children / 2 ? written : QByteArray(), ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        if (pid > 0 && ::read(ready[0], &byte, 1) == 1)
            pids.push_back(pid);
        ::close(ready[0]);
    }

    std::vector<double> walks;
    std::vector<double> looks;
    qsizetype items = 0;
    qsizetype uses = 0;
    qsizetype uninspected = 0;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        const TreeItems found = treeItemsOf({tree});
        walks.push_back(timer.nsecsElapsed() / 1e6);
        items = found.paths.size();
        timer.restart();
        const std::optional<FileUsers> users = platformUsersOf(found);
        looks.push_back(timer.nsecsElapsed() / 1e6);
        uses = users ? users->uses.size() : -1;
        uninspected = users ? users->uninspected.size() : -1;
    }
    for (const pid_t pid : pids)
        ::kill(pid, SIGKILL);
    for (const pid_t pid : pids) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }

    std::printf("children: %zu, tree items: %lld, uses found: %lld, not looked into: %lld\n",
                pids.size(), qint64(items), qint64(uses), qint64(uninspected));
    std::printf("walk of the tree:  median %.1f ms (rounds:", median(walks));
    for (const double time : walks)
        std::printf(" %.1f", time);
    std::printf(")\nlook at processes: median %.1f ms (rounds:", median(looks));
    for (const double time : looks)
        std::printf(" %.1f", time);
    std::printf(")\n");
    return 0;
}
