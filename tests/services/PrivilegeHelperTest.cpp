#include "services/PrivilegeHelper.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "platform/macos/MacCopyTool.h"
#include "support/Errors.h"
#include "support/Sandbox.h"
#include "support/TreeDigest.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace {

// A name that a shell or an AppleScript string would trip over.
const QString awkward = QStringLiteral("it's a \"b\\c\" $HOME `id` *\nline");

QString q(const QString &text)
{
    return PrivilegeHelper::shellQuote(text);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class PrivilegeHelperTest : public ::testing::Test
{
protected:
    FakeAdminShell &admin() { return sandbox.system().fakeAdminShell(); }
    QString file(const QString &name, const QByteArray &content = "x")
    {
        return sandbox.writeFile(work + QLatin1Char('/') + name, content);
    }
    QString folder(const QString &name)
    {
        return sandbox.makeFolder(work + QLatin1Char('/') + name);
    }
    // A folder the fake system reports as not writable (CI runs as root, so chmod cannot).
    QString lockedFolder()
    {
        const QString locked = folder(QStringLiteral("Locked"));
        sandbox.system().setReadOnly(locked);
        return locked;
    }

    Sandbox sandbox;
    const QString work = sandbox.makeFolder(sandbox.path(QStringLiteral("Work")));
};

} // namespace

TEST(PrivilegeHelperQuotingTest, ShellQuoteGivesOneWordThatTheShellReadsBack)
{
    const QString cases[][2] = {
        {QString(), QStringLiteral("''")},
        {QStringLiteral("it's"), QStringLiteral("'it'\\''s'")},
        {QStringLiteral("''"), QStringLiteral("''\\'''\\'''")},
        {QStringLiteral("a $HOME \\ `id` \"q\" *"), QStringLiteral("'a $HOME \\ `id` \"q\" *'")},
        {QStringLiteral("line\nbreak ünï"), QStringLiteral("'line\nbreak ünï'")},
    };
    for (const auto &[text, quoted] : cases) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(PrivilegeHelper::shellQuote(text), quoted);
        const SubprocessResult echoed =
            Subprocess::run(QStringLiteral("/bin/sh"),
                            {QStringLiteral("-c"), QStringLiteral("printf %s ") + quoted});
        EXPECT_EQ(echoed.outputText(), text);
    }
}

TEST_F(PrivilegeHelperTest, SafeRemoveRefusesPlacesThatMustNeverGo)
{
    const SystemPaths &p = sandbox.paths();
    const QString volumesLink = sandbox.makeSymlink(work + QStringLiteral("/v"), p.volumesRoot);
    const QStringList refused = {
        QString(),
        QStringLiteral("relative/Foo.app"),
        QStringLiteral("/"),
        QStringLiteral("//"),
        QStringLiteral("/Applications"),
        p.home,
        p.home + QStringLiteral("/"),
        p.applications,
        p.userApplications,
        p.volumesRoot,
        sandbox.drive(),
        sandbox.drive() + QStringLiteral("//"),
        volumesLink + QStringLiteral("/Drive"),
        p.userSupport,
        p.systemSupport,
        sandbox.root(),
        p.applications + QStringLiteral("/Foo.app/.."),
    };
    const TreeDigest before = digestTree(sandbox.root());
    for (const QString &path : refused) {
        SCOPED_TRACE(path.toStdString());
        const std::optional<OperationError> error =
            errorOf([&] { PrivilegeHelper::safeRemove(path); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), QStringLiteral("PrivilegeHelper"));
        EXPECT_EQ(error->code(), 1);
    }
    EXPECT_EQ(describeDifference(before, digestTree(sandbox.root())), QString());
    EXPECT_TRUE(admin().commands().isEmpty());
}

TEST_F(PrivilegeHelperTest, SafeRemoveNeverFollowsALink)
{
    const QString target = folder(QStringLiteral("Target"));
    file(QStringLiteral("Target/keep"));
    const QString link = sandbox.makeSymlink(work + QStringLiteral("/Link"), target);
    const QString dangling = sandbox.makeSymlink(work + QStringLiteral("/Dangling"), work + "/No");
    folder(QStringLiteral("Tree.app/Contents/MacOS"));

    // With its trailing slash a shell removal would empty the folder the link points to.
    for (const QString &path : QStringList{work + "/Tree.app", link + "/", work + "/No", dangling})
        PrivilegeHelper::safeRemove(path);

    EXPECT_FALSE(PathUtils::existsNoFollow(work + QStringLiteral("/Tree.app")));
    EXPECT_FALSE(PathUtils::existsNoFollow(link));
    EXPECT_TRUE(QFile::exists(target + QStringLiteral("/keep")));
    EXPECT_TRUE(PathUtils::isSymlink(dangling)); // nothing exists there, so it stays
    EXPECT_TRUE(admin().commands().isEmpty());
}

// Each operation whose plain attempt cannot work asks with its exact command; a declined
// prompt is its error code, and the command really does the work in the shell.
TEST_F(PrivilegeHelperTest, FallsBackToTheAdministratorCommand)
{
    const QString locked = lockedFolder();
    const QString oldTarget = folder(QStringLiteral("OldTarget"));
    const QString linkTarget = sandbox.drive() + QLatin1Char('/') + awkward;
    const QString toRemove = sandbox.writeFile(locked + QLatin1Char('/') + awkward, "x");
    const QString sibling = sandbox.writeFile(locked + QStringLiteral("/it"), "x");
    const QString movedFile = file(QStringLiteral("new"), "new");
    const QString existing = file(awkward, "old");
    const QString link = sandbox.makeSymlink(locked + QStringLiteral("/it's a link"), oldTarget);
    const struct
    {
        const char *name;
        std::function<void()> operation;
        QString command;
        int code;
        QString message;
        std::function<bool()> done;
    } cases[] = {
        {"remove in a locked folder", [&] { PrivilegeHelper::safeRemove(toRemove + "/"); },
         QStringLiteral("/bin/rm -rf --one-file-system -- ") + q(toRemove), 1,
         "Failed to remove '" + toRemove + "/' with admin privileges: User canceled.",
         [&] { return !QFile::exists(toRemove) && QFile::exists(sibling); }},
        // The plain move never replaces an item; the administrator's mv does.
        {"move onto a file", [&] { PrivilegeHelper::safeMove(movedFile, existing); },
         QStringLiteral("/bin/mv -- ") + q(movedFile) + QLatin1Char(' ') + q(existing), 3,
         "Failed to move '" + movedFile + "' to '" + existing + "': User canceled.",
         [&] { return !QFile::exists(movedFile) && readAll(existing) == "new"; }},
        // -n: a link to a folder is replaced, not joined by a link inside that folder.
        {"link in a locked folder", [&] { PrivilegeHelper::createSymbolicLink(link, linkTarget); },
         QStringLiteral("/bin/ln -sfn -- ") + q(linkTarget) + QLatin1Char(' ') + q(link), 2,
         "Failed to create symlink at '" + link + "': User canceled.",
         [&] { return PathUtils::linkText(link) == linkTarget && QDir(oldTarget).isEmpty(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        admin().clearCommands();
        admin().decline(QStringLiteral("User canceled."));
        const std::optional<OperationError> error = errorOf(c.operation);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->message(), c.message);
        EXPECT_FALSE(c.done());

        admin().runUnprivileged();
        c.operation();
        EXPECT_TRUE(c.done());
        EXPECT_EQ(admin().commands(), (QStringList{c.command, c.command}));
    }
}

// A removal the program's own rights could not make is asked of the administrator only where
// those rights were refused; any other error would stop the administrator's removal too, or lead
// it into what is mounted in the tree.
TEST_F(PrivilegeHelperTest, RemovesAsAdministratorOnlyAfterARefusalOfRights)
{
    const QString locked = PathUtils::resolved(lockedFolder());
    const QString item = locked + QStringLiteral("/Tree.app");
    const struct
    {
        const char *name;
        int err;
        const char *where;
        QString message; // empty: removed as administrator
    } cases[] = {
        {"refused", EACCES, "Tree.app/Contents", {}},
        {"not permitted", EPERM, "", {}},
        {"not tried in a folder it may not write", 0, "", {}},
        {"a file system mounted inside", EXDEV, "Tree.app/Contents/Mounted",
         "Could not remove '" + item + "': another file system is mounted at '" + item +
             "/Contents/Mounted'; what it holds was left as it is."},
        {"a mount point itself", EBUSY, "Tree.app",
         "Could not remove '" + item + "': Device or resource busy"},
        {"a folder that would not empty", ENOTEMPTY, "Tree.app/Contents",
         "Could not remove '" + item + "': '" + item + "/Contents': Directory not empty"},
    };
    admin().runUnprivileged();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sandbox.writeFile(item + QStringLiteral("/Contents/Mounted/data"), "x");
        admin().clearCommands();
        const std::optional<OperationError> error = errorOf([&] {
            PrivilegeHelper::removeAfterRefusal(locked, QStringLiteral("Tree.app"), c.err,
                                                QString::fromLatin1(c.where),
                                                [&] { return locked; });
        });
        if (c.message.isEmpty()) {
            EXPECT_FALSE(error) << error->message().toStdString();
            EXPECT_EQ(admin().commands().size(), 1);
            EXPECT_TRUE(admin().commands().value(0).endsWith(
                "; /bin/rm -rf --one-file-system -- 'Tree.app'"))
                << admin().commands().value(0).toStdString();
            EXPECT_FALSE(PathUtils::existsNoFollow(item));
        } else {
            EXPECT_TRUE(error);
            if (!error)
                continue;
            EXPECT_EQ(error->domain(), QStringLiteral("FileSystem"));
            EXPECT_EQ(error->code(), c.err);
            EXPECT_EQ(error->message(), c.message);
            EXPECT_TRUE(admin().commands().isEmpty());
            EXPECT_TRUE(QFile::exists(item + QStringLiteral("/Contents/Mounted/data")));
        }
    }
}

TEST_F(PrivilegeHelperTest, NeverMovesOrLinksIntoAnExistingFolder)
{
    const QString source = folder(QStringLiteral("Foo.app"));
    const QString existing = folder(QStringLiteral("Existing.app"));
    const QString linkToFolder = sandbox.makeSymlink(work + QStringLiteral("/L.app"), existing);
    const QString lockedSupport = sandbox.makeFolder(lockedFolder() + QStringLiteral("/Support"));
    admin().runUnprivileged();
    for (const QString &destination : {existing, linkToFolder}) {
        const auto error = errorOf([&] { PrivilegeHelper::safeMove(source, destination); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 3);
        EXPECT_EQ(error->message(), "Failed to move '" + source + "' to '" + destination +
                                        "': destination already exists");
    }
    for (const QString &linkPath : {existing, lockedSupport}) {
        const auto error =
            errorOf([&] { PrivilegeHelper::createSymbolicLink(linkPath, sandbox.drive()); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 2);
    }
    EXPECT_TRUE(admin().commands().isEmpty());
    EXPECT_TRUE(QDir(existing).isEmpty());
    EXPECT_TRUE(QDir(lockedSupport).isEmpty());
    EXPECT_TRUE(PathUtils::isDirectoryNoFollow(source));
}

// A relative path in an administrator command would be read from wherever that shell
// starts; a link text that begins with "-" would be read as options by ln.
TEST_F(PrivilegeHelperTest, RelativePlacesAreRefusedAndLinkTextsAreNeverOptions)
{
    const QString source = file(QStringLiteral("Tool.app"));
    const QString destination = work + QStringLiteral("/Moved.app");
    admin().runUnprivileged();
    const struct
    {
        const char *name;
        std::function<void()> operation;
        int code;
        QString message;
    } refused[] = {
        {"relative source", [&] { PrivilegeHelper::safeMove("Work/Tool.app", destination); }, 3,
         "Refusing to move 'Work/Tool.app' to '" + destination +
             "': the source path is not absolute"},
        {"relative destination", [&] { PrivilegeHelper::safeMove(source, "Moved.app"); }, 3,
         "Refusing to move '" + source + "' to 'Moved.app': the destination path is not absolute"},
        {"empty source", [&] { PrivilegeHelper::safeMove(QString(), destination); }, 3,
         "Refusing to move '' to '" + destination + "': the source path is not absolute"},
        {"relative link", [&] { PrivilegeHelper::createSymbolicLink("Link.app", source); }, 2,
         "Refusing to create symlink at 'Link.app': the path is not absolute"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name);
        const std::optional<OperationError> error = errorOf(c.operation);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->message(), c.message);
    }
    EXPECT_TRUE(admin().commands().isEmpty());
    EXPECT_TRUE(QFile::exists(source));
    EXPECT_FALSE(PathUtils::existsNoFollow(destination));

    const QString link = lockedFolder() + QStringLiteral("/Options.app");
    PrivilegeHelper::createSymbolicLink(link, QStringLiteral("-n-Tool.app"));
    EXPECT_EQ(PathUtils::linkText(link), QStringLiteral("-n-Tool.app"));
}

TEST_F(PrivilegeHelperTest, RunDittoAlwaysAsksAndRunsThePlatformCopyTool)
{
    folder(QStringLiteral("Source.app/Contents"));
    file(QStringLiteral("Source.app/Contents/Info.plist"), "plist");
    sandbox.makeSymlink(work + QStringLiteral("/Source.app/Current"), QStringLiteral("Contents"));
    const QString from = work + QStringLiteral("/Source.app");
    const QString to = sandbox.drive() + QLatin1Char('/') + awkward;

    admin().runUnprivileged();
    const PrivilegeHelper::DittoResult copied = PrivilegeHelper::runDitto(from, to);
    EXPECT_TRUE(copied.success) << copied.error.toStdString();
    EXPECT_EQ(describeDifference(digestTree(from), digestTree(to)), QString());

    sandbox.system().setCopyTool(&macCopyToolArguments);
    admin().decline(QStringLiteral("User canceled."));
    admin().clearCommands();
    EXPECT_EQ(PrivilegeHelper::runDitto(from, to),
              (PrivilegeHelper::DittoResult{false, QStringLiteral("User canceled.")}));
    EXPECT_EQ(admin().commands(),
              QStringList{"/usr/bin/ditto " + q(QStringLiteral("--nopreserveHFSCompression")) +
                          ' ' + q(from) + ' ' + q(to)});
}

TEST_F(PrivilegeHelperTest, CreateFinderAliasTakesTheFirstSubstituteThatWorks)
{
    const QString target = sandbox.makeFolder(sandbox.drive() + QStringLiteral("/Foo.app"));
    const QString locked = lockedFolder();
    const struct
    {
        const char *name;
        QString folder;
        bool aliasWorks;
        bool bookmarkWorks;
        QByteArray content; // empty: a symbolic link to the target
        QStringList operations;
    } cases[] = {
        {"Finder's alias", work, true, true, "alias:", {"makeAliasFile"}},
        {"a bookmark file",
         work,
         false,
         true,
         "bookmark:",
         {"makeAliasFile", "writeBookmarkFile", "update"}},
        {"a link", work, false, false, {}, {"makeAliasFile", "writeBookmarkFile"}},
        {"a link as administrator", locked, false, true, {}, {"makeAliasFile"}},
    };
    admin().runUnprivileged();
    FakeFinder &finder = sandbox.system().fakeFinder();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype before = finder.calls().size();
        finder.setAliasFilesWork(c.aliasWorks);
        finder.setBookmarksWork(c.bookmarkWorks);
        // A stale dangling link stands in the way every time.
        const QString alias = c.folder + QStringLiteral("/Foo's.app");
        QFile::remove(alias);
        sandbox.makeSymlink(alias, work + QStringLiteral("/Gone.app"));

        PrivilegeHelper::createFinderAlias(target, alias);

        if (c.content.isEmpty())
            EXPECT_EQ(PathUtils::linkText(alias), target);
        else
            EXPECT_EQ(readAll(alias), c.content + target.toUtf8());
        const QList<FakeFinder::Call> calls = finder.calls().mid(before);
        QStringList operations;
        for (const FakeFinder::Call &call : calls)
            operations.append(call.operation);
        EXPECT_EQ(operations, c.operations);
        EXPECT_EQ(calls.first().arguments, (QStringList{target, c.folder, "Foo's.app"}));
    }
}
