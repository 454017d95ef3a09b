#include "platform/linux/LinuxWorkspace.h"
#include "services/DuplicateCleanup.h"
#include "services/TrashFixture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>

namespace {

// On a Linux desktop an item in the Trash needs its record in the Trash's "info" folder, or
// the Trash neither lists it nor can put it back.
TEST_F(TrashTest, TheAdministratorsMoveLeavesWhatTheDesktopTrashNeeds)
{
    const QString trashRoot = sandbox.home() + "/.local/share/Trash";
    SystemPaths paths = sandbox.paths();
    paths.trash = trashRoot + "/files";
    sandbox.system().setPaths(paths);
    workspace.keepTrashRecordsWith(std::make_shared<LinuxWorkspace>());
    const auto readInfo = [&](const QString &name) {
        QFile file(trashRoot + "/info/" + name + ".trashinfo");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };

    const struct
    {
        const char *name;
        std::function<void()> setUp;
        AdminShellResult (*answer)(const QString &);
        int trashed;
        QString error;    // "%1" is the Trash folder
        QString recorded; // the name in the Trash that got its record, if any
    } cases[] = {
        {"moved and recorded", [] {}, &FakeAdminShell::runWithShell, 1, {}, "Tool Box.app"},
        {"a stale record keeps its name",
         [&] { sandbox.writeFile(trashRoot + "/info/Tool Box.app.trashinfo", "stale"); },
         &FakeAdminShell::runWithShell,
         1,
         {},
         "Tool Box-"},
        {"the prompt is dismissed",
         [] {},
         [](const QString &) {
             return AdminShellResult{false, "User canceled."};
         },
         0,
         "Administrator authorization failed: User canceled.",
         {}},
        {"no administrator route here",
         [] {},
         [](const QString &) {
             return AdminShellResult{false, "Administrator rights are not available", false};
         },
         0,
         "Could not move to Trash: Administrator rights are not available",
         {}},
        {"no Trash at all",
         [&] { QDir(trashRoot).removeRecursively(); },
         &FakeAdminShell::runWithShell,
         0,
         "Tool Box: the Trash folder '%1' is missing; not moved to Trash.",
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(trashRoot).removeRecursively();
        sandbox.makeFolder(trashRoot + "/files");
        c.setUp();
        const auto copy = copyOf("Applications/It's/Tool Box.app");
        workspace.failTrash(copy.localApp.id());
        adminShell.answerWith(c.answer);

        const TrashResult result = DuplicateCleanup::trashLocalCopies({copy});

        EXPECT_EQ(result.trashedCount, c.trashed);
        EXPECT_EQ(result.errors.join('\n'), c.error.isEmpty() ? QString() : c.error.arg(trashRoot));
        const QStringList records = QDir(trashRoot + "/info").entryList(QDir::Files);
        if (c.recorded.isEmpty()) {
            EXPECT_TRUE(PathUtils::existsNoFollow(copy.localApp.id()));
            EXPECT_TRUE(records.isEmpty()) << records.join(' ').toStdString();
            continue;
        }
        const QStringList inTrash =
            QDir(paths.trash).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        ASSERT_EQ(inTrash.size(), 1);
        EXPECT_TRUE(inTrash.first().startsWith(c.recorded));
        const QString info = readInfo(inTrash.first());
        EXPECT_TRUE(
            info.startsWith("[Trash Info]\nPath=" +
                            QString::fromUtf8(QUrl::toPercentEncoding(copy.localApp.id(), "/")) +
                            "\nDeletionDate="))
            << info.toStdString();
        EXPECT_TRUE(
            QRegularExpression("\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$")
                .match(info)
                .hasMatch())
            << info.toStdString();
    }
}

} // namespace
