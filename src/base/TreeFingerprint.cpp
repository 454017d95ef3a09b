#include "base/TreeFingerprint.h"

#include "base/FolderEntries.h"
#include "base/UniqueFd.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

quint64 mixBits(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

quint64 combine(quint64 seed, quint64 value)
{
    return mixBits(seed ^ mixBits(value));
}

quint64 pathHash(const QByteArray &relative)
{
    quint64 hash = 0xCBF29CE484222325ULL;
    for (const char c : relative)
        hash = (hash ^ quint64(quint8(c))) * 0x100000001B3ULL;
    return mixBits(hash);
}

// Nanoseconds since the epoch: POSIX names the times st_mtim and st_ctim, Darwin st_mtimespec
// and st_ctimespec.
template<typename Stat>
std::pair<qint64, qint64> modifiedAndChanged(const Stat &info)
{
    const auto nanos = [](const auto &time) {
        return qint64(time.tv_sec) * 1'000'000'000 + qint64(time.tv_nsec);
    };
    if constexpr (requires { info.st_mtim; })
        return {nanos(info.st_mtim), nanos(info.st_ctim)};
    else
        return {nanos(info.st_mtimespec), nanos(info.st_ctimespec)};
}

enum class Times { none, modification, both };

quint64 stateOf(const struct stat &info, Times times)
{
    quint64 state =
        combine(combine(quint64(info.st_dev), quint64(info.st_ino)),
                combine(quint64(info.st_mode), quint64(info.st_uid) << 32 | quint64(info.st_gid)));
    if (times == Times::none)
        return state;
    const auto [modified, changed] = modifiedAndChanged(info);
    state = combine(combine(state, quint64(info.st_size)), quint64(modified));
    return times == Times::both ? combine(state, quint64(changed)) : state;
}

// Opens the folder `name` of `folder` without following a link, and only when it is the item
// `info` said was there.
UniqueFd enter(int folder, const QByteArray &name, const struct stat &info)
{
    UniqueFd entered(
        ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened
    {};
    if (!entered.valid() || ::fstat(entered.get(), &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino)
        return UniqueFd();
    return entered;
}

// Visits every item below the open folder `fd` (at `relative`, "" for the root) with its path
// below the root ("/Contents/Info.plist") and its state. False when a folder cannot be entered or
// listed, lies on another file system than `device`, holds one of its own ancestors (a bind
// mount), or an item vanished while it was looked at.
template<typename Visit>
bool walkBelow(int fd, const QByteArray &relative, dev_t device, std::vector<ino_t> &ancestors,
               const Visit &visit)
{
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(fd);
    if (!entries)
        return false;
    for (const FolderEntry &entry : *entries) {
        if (entry.name == ".DS_Store")
            continue;
        struct stat info
        {};
        if (::fstatat(fd, entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        const mode_t type = info.st_mode & S_IFMT;
        if (isLeftOutOfCopies(type))
            continue;
        const QByteArray path = relative + '/' + entry.name;
        visit(path, stateOf(info, type == S_IFDIR ? Times::none : Times::both));
        if (type != S_IFDIR)
            continue;
        if (info.st_dev != device ||
            std::find(ancestors.cbegin(), ancestors.cend(), info.st_ino) != ancestors.cend())
            return false;
        const UniqueFd folder = enter(fd, entry.name, info);
        if (!folder.valid())
            return false;
        ancestors.push_back(info.st_ino);
        const bool whole = walkBelow(folder.get(), path, device, ancestors, visit);
        ancestors.pop_back();
        if (!whole)
            return false;
    }
    return true;
}

struct Root
{
    bool exists = false;
    bool whole = false;
    mode_t type = 0;
    quint64 state = 0;
};

// Notes the root `name` of `folder` and visits what lies below it.
template<typename Visit>
Root walkTree(int folder, const QByteArray &name, const Visit &visit)
{
    Root root;
    struct stat info
    {};
    if (name.isEmpty())
        return root;
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        // Nothing there is a state of its own; a place that cannot be looked at is none.
        root.whole = errno == ENOENT || errno == ENOTDIR;
        return root;
    }
    root.exists = true;
    root.type = info.st_mode & S_IFMT;
    // A file's size and content time are its own; moving it changes only its change time.
    root.state = stateOf(info, root.type == S_IFDIR ? Times::none : Times::modification);
    if (root.type != S_IFDIR) {
        root.whole = true;
        return root;
    }
    const UniqueFd opened = enter(folder, name, info);
    std::vector<ino_t> ancestors{info.st_ino};
    root.whole =
        opened.valid() && walkBelow(opened.get(), QByteArray(), info.st_dev, ancestors, visit);
    return root;
}

QString shown(const QByteArray &relative)
{
    return QLatin1Char('\'') + QFile::decodeName(relative.mid(1)) + QLatin1Char('\'');
}

} // namespace

TreeFingerprint TreeFingerprint::of(const QString &path)
{
    return of(AT_FDCWD, QFile::encodeName(path));
}

TreeFingerprint TreeFingerprint::of(int folder, const QByteArray &name)
{
    TreeFingerprint print;
    const Root root = walkTree(folder, name, [&](const QByteArray &relative, quint64 state) {
        print.m_items.emplace_back(pathHash(relative), state);
    });
    print.m_exists = root.exists;
    print.m_whole = root.whole;
    print.m_rootType = root.type;
    print.m_root = root.state;
    std::sort(print.m_items.begin(), print.m_items.end());
    return print;
}

std::optional<QString> TreeFingerprint::changeAt(const QString &path) const
{
    return changeAt(AT_FDCWD, QFile::encodeName(path));
}

std::optional<QString> TreeFingerprint::changeAt(int folder, const QByteArray &name) const
{
    const TreeFingerprint now = of(folder, name);
    if (now == *this && m_whole)
        return std::nullopt;
    return describeChange(now, folder, name);
}

QString TreeFingerprint::describeChange(const TreeFingerprint &now, int folder,
                                        const QByteArray &name) const
{
    if (!m_whole)
        return QStringLiteral("it could not be read whole when it was copied");
    if (!now.m_exists)
        return m_exists ? QStringLiteral("it is no longer there")
                        : QStringLiteral("it could not be read");
    if (!m_exists)
        return QStringLiteral("an item was put there");
    if (now.m_root != m_root || now.m_rootType != m_rootType)
        return now.m_rootType == S_IFLNK && m_rootType != S_IFLNK
                   ? QStringLiteral("it was replaced by a link")
                   : QStringLiteral("it was replaced by another item");
    if (!now.m_whole)
        return QStringLiteral("it could not be read whole");
    if (m_rootType != S_IFDIR)
        return QStringLiteral("it was written to");
    // Looked at once more, to name the first item that is new or no longer what it was.
    QByteArray changed;
    bool added = false;
    (void)walkTree(folder, name, [&](const QByteArray &relative, quint64 state) {
        if (!changed.isEmpty())
            return;
        const quint64 hash = pathHash(relative);
        const auto known = std::lower_bound(m_items.cbegin(), m_items.cend(),
                                            std::pair<quint64, quint64>(hash, 0));
        if (known == m_items.cend() || known->first != hash)
            added = true;
        else if (known->second == state)
            return;
        changed = relative;
    });
    if (changed.isEmpty())
        return QStringLiteral("an item was removed from it");
    return added ? shown(changed) + QStringLiteral(" was added to it")
                 : shown(changed) + QStringLiteral(" in it changed");
}
