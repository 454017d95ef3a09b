#include "base/PathUtils.h"
#include "model/SupportFolder.h"
#include "services/AppLogger.h"
#include "support/BundleBuilder.h"
#include "support/FakeTool.h"
#include "support/Sandbox.h"
#include "support/Wait.h"
#include "transfer/DriveLayout.h"
#include "transfer/OffloadEngine.h"

#include <QDir>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// The error code a step throws, 0 when it returns.
template<typename F>
int codeOf(F &&step, QString *message = nullptr)
{
    try {
        step();
    } catch (const OperationError &error) {
        if (message)
            *message = error.message();
        return error.code();
    }
    return 0;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// An application, its staged and final places on the drive, and a scripted copy tool
// (a shell body in which $1 is the source and $2 the destination).
struct Stage
{
    Sandbox sandbox;
    QString app = BundleBuilder(sandbox.applications() + QStringLiteral("/Foo.app"))
                      .file(QStringLiteral("Resources/data"), "data")
                      .build();
    QString finalPath = sandbox.drive() + QStringLiteral("/Applications/Foo.app");
    QString staged = DriveLayout::stagedLocation(QUrl::fromLocalFile(finalPath)).toLocalFile();
    QString data = QStringLiteral("/Contents/Resources/data");
    FakeTool tool{QStringLiteral("copy"), platformCopyShell()};
    OffloadEngine engine;

    Stage()
    {
        QDir().mkpath(PathUtils::parentPath(finalPath));
        sandbox.system().setCopyTool([this](const QString &source, const QString &destination) {
            return QStringList{tool.path(), source, destination};
        });
    }
    int copy(QString *message = nullptr)
    {
        return codeOf([&] { engine.runDittoCopy(app, staged); }, message);
    }
    QStringList adminCommands() { return sandbox.system().fakeAdminShell().commands(); }
};

TEST(OffloadEngineCopy, AlreadyCancelledStartsNothingAndTouchesNothing)
{
    Stage stage;
    stage.sandbox.writeFile(stage.staged, "earlier");
    stage.engine.cancelCurrentOperation();
    QString message;
    EXPECT_EQ(stage.copy(&message), 3072);
    EXPECT_EQ(message, QStringLiteral("Operation cancelled by user."));
    EXPECT_TRUE(stage.tool.calls().isEmpty());
    EXPECT_EQ(contentOf(stage.staged), "earlier");
}

TEST(OffloadEngineCopy, CancelledCopyLeavesNoStagedItemAndNeverPrompts)
{
    Stage stage;
    stage.tool.setBody(QStringLiteral("mkdir -p \"$2\"; echo > \"$2/part\"; exec sleep 30"));
    auto copy = QtConcurrent::run([&] { return stage.copy(); });
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(stage.staged + QStringLiteral("/part")); }));
    stage.engine.cancelCurrentOperation();
    ASSERT_TRUE(waitFor(copy));
    EXPECT_EQ(copy.result(), 3072);
    EXPECT_FALSE(PathUtils::existsNoFollow(stage.staged));
    EXPECT_TRUE(stage.adminCommands().isEmpty());
    EXPECT_EQ(stage.engine.cancelState().activeProcess(), nullptr);
}

struct FailedCopyCase
{
    const char *name;
    const char *toolError; // shell text writing the tool's standard error
    bool adminCopies;
    bool cancelDuringAdmin;
    int code;
    const char *message;
};

class FailedCopy : public ::testing::TestWithParam<FailedCopyCase>
{};

TEST_P(FailedCopy, FallsBackToTheAdministratorCopy)
{
    const FailedCopyCase &c = GetParam();
    Stage stage;
    stage.tool.setBody(
        QStringLiteral("mkdir -p \"$2\"; %1; exit 1").arg(QLatin1String(c.toolError)));
    stage.sandbox.system().fakeAdminShell().answerWith([&](const QString &) {
        if (c.cancelDuringAdmin)
            stage.engine.cancelState().cancel();
        return AdminShellResult{c.adminCopies, QStringLiteral("User canceled.")};
    });
    QString message;
    EXPECT_EQ(stage.copy(&message), c.code);
    EXPECT_EQ(message, QString::fromUtf8(c.message));
    ASSERT_EQ(stage.adminCommands().size(), 1);
    EXPECT_TRUE(stage.adminCommands().first().startsWith(stage.tool.path()));
    // Neither a failed nor a cancelled copy leaves its partial result on the drive.
    EXPECT_EQ(PathUtils::existsNoFollow(stage.staged), c.code == 0);
}

INSTANTIATE_TEST_SUITE_P(
    OffloadEngineCopy, FailedCopy,
    ::testing::Values(
        FailedCopyCase{"AdminDenied", "echo 'cp: boom' >&2", false, false, 301,
                       "ditto copy failed: cp: boom\n (Admin attempt: User canceled.)"},
        FailedCopyCase{"UndecodableError", "printf '\\377' >&2", false, false, 301,
                       "ditto copy failed: Unknown ditto error (Admin attempt: User canceled.)"},
        FailedCopyCase{"AdminCopies", "true", true, false, 0, ""},
        FailedCopyCase{"CancelledDuringAdminCopy", "true", true, true, 3072,
                       "Operation cancelled by user."}),
    [](const auto &info) { return std::string(info.param.name); });

// A drive that fills up makes the copy tool complain about every file it could not write.
TEST(OffloadEngineCopy, FailureMessageKeepsTheFirstLinesAndTheLogKeepsAll)
{
    Stage stage;
    stage.tool.setBody(QStringLiteral(
        "mkdir -p \"$2\"; for i in $(seq 1 30); do echo \"cp: cannot create '$2/f$i': No space "
        "left on device\" >&2; done; exit 1"));
    stage.sandbox.system().fakeAdminShell().answerWith([](const QString &) {
        return AdminShellResult{false, QStringLiteral("User canceled.")};
    });
    QString message;
    ASSERT_EQ(stage.copy(&message), 301);
    QString expected = QStringLiteral("ditto copy failed: ");
    for (int i = 1; i <= 8; ++i)
        expected += QStringLiteral("cp: cannot create '%1/f%2': No space left on device\n")
                        .arg(stage.staged)
                        .arg(i);
    expected += QStringLiteral("… 22 more lines left out; the whole output is in the log. "
                               "(Admin attempt: User canceled.)");
    EXPECT_EQ(message, expected);
    const QString log = AppLogger::shared().readRecentLines(400);
    EXPECT_TRUE(log.contains(stage.staged + QStringLiteral("/f30': No space left on device")));
    EXPECT_FALSE(PathUtils::existsNoFollow(stage.staged));
}

struct VerifyCase
{
    const char *name;
    bool bundle;       // else a support folder
    bool healsOnPause; // the copy's fault is gone by the second attempt
    bool cancelled;    // the cancel flag is set while verifying (and the copy is faithful)
    int code;
    int failureLines;
};

class Verification : public ::testing::TestWithParam<VerifyCase>
{};

TEST_P(Verification, CommitsOnlyAVerifiedCopy)
{
    const VerifyCase &c = GetParam();
    Stage stage;
    ASSERT_EQ(stage.copy(), 0);
    if (c.cancelled)
        stage.engine.cancelCurrentOperation();
    else
        stage.sandbox.writeFile(stage.staged + stage.data, "DATA");
    QList<std::chrono::nanoseconds> pauses;
    stage.engine.setSleeper([&](std::chrono::nanoseconds pause) {
        pauses.append(pause);
        if (c.healsOnPause && pause == 600ms)
            stage.sandbox.writeFile(stage.staged + stage.data, "data");
    });
    const QUrl app = QUrl::fromLocalFile(stage.app);
    const QUrl staged = QUrl::fromLocalFile(stage.staged);
    const QUrl final = QUrl::fromLocalFile(stage.finalPath);
    SupportFolder folder;
    folder.url = app;

    QString message;
    EXPECT_EQ(codeOf(
                  [&] {
                      if (c.bundle)
                          stage.engine.verifyBundleCopy(
                              app, staged, final, OffloadEngine::bundleVerificationError("Foo"));
                      else
                          stage.engine.verifySupportFolderCopy(folder, staged, final);
                  },
                  &message),
              c.code);
    const QString what =
        c.bundle ? QStringLiteral("app bundle 'Foo'") : QStringLiteral("support folder 'Foo.app'");
    EXPECT_EQ(message, c.code ? QStringLiteral("Verification failed for ") + what +
                                    QStringLiteral(". Source was left untouched.")
                              : QString());
    EXPECT_FALSE(PathUtils::existsNoFollow(stage.staged));
    EXPECT_EQ(contentOf(stage.finalPath + stage.data), c.code ? "" : "data");
    const QList<std::chrono::nanoseconds> bundlePauses{200ms, 600ms};
    EXPECT_EQ(pauses, c.bundle ? bundlePauses : QList<std::chrono::nanoseconds>());
    const QString line = QStringLiteral("Integrity verification failed (Foo.app -> ") +
                         stage.staged + QStringLiteral("): ");
    const auto entries = stage.sandbox.system().recordingSystemLog().entries();
    EXPECT_EQ(std::count_if(entries.cbegin(), entries.cend(),
                            [&](const auto &e) {
                                return e.category == QStringLiteral("Offload") &&
                                       e.message.startsWith(line);
                            }),
              c.failureLines);
}

INSTANTIATE_TEST_SUITE_P(
    OffloadEngineCopy, Verification,
    ::testing::Values(VerifyCase{"BundleFailsOnceThenCommits", true, true, false, 0, 1},
                      VerifyCase{"BundleFailsTwice", true, false, false, 102, 2},
                      VerifyCase{"CancelDuringBundleVerification", true, false, true, 102, 2},
                      VerifyCase{"SupportFolderFails", false, false, false, 101, 1},
                      VerifyCase{"CancelDuringSupportVerification", false, false, true, 101, 1}),
    [](const auto &info) { return std::string(info.param.name); });

struct CommitCase
{
    const char *name;
    const char *occupant; // at the final path beforehand: "", "copy" or "dangling link"
    bool finalMoveFails;
    const char *content; // of the data file at the final path afterwards
};

class Commit : public ::testing::TestWithParam<CommitCase>
{};

TEST_P(Commit, ReplacesTheOccupantOrPutsItBack)
{
    const CommitCase &c = GetParam();
    Stage stage;
    ASSERT_EQ(stage.copy(), 0);
    if (QLatin1String(c.occupant) == QLatin1String("copy"))
        stage.sandbox.writeFile(stage.finalPath + stage.data, "old");
    else if (QLatin1String(c.occupant) == QLatin1String("dangling link"))
        stage.sandbox.makeSymlink(stage.finalPath, stage.sandbox.path(QStringLiteral("gone")));
    if (c.finalMoveFails) // a staged copy that is gone cannot be moved, nor prompted for
        QDir(stage.staged).removeRecursively();

    EXPECT_EQ(codeOf([&] {
                  stage.engine.commitStagedItem(QUrl::fromLocalFile(stage.staged),
                                                QUrl::fromLocalFile(stage.finalPath));
              }) != 0,
              c.finalMoveFails);
    EXPECT_EQ(contentOf(stage.finalPath + stage.data), c.content);
    EXPECT_EQ(QDir(PathUtils::parentPath(stage.finalPath))
                  .entryList({QStringLiteral("*.rollback-*")},
                             QDir::AllEntries | QDir::Hidden | QDir::System),
              QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    OffloadEngineCopy, Commit,
    ::testing::Values(CommitCase{"NothingThere", "", false, "data"},
                      CommitCase{"OverAnEarlierCopy", "copy", false, "data"},
                      CommitCase{"OverADanglingLink", "dangling link", false, "data"},
                      CommitCase{"FailedMovePutsTheEarlierCopyBack", "copy", true, "old"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
