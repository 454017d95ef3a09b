#include "views/sheets/DuplicateInstancesPresenter.h"

#include <gtest/gtest.h>

namespace {

AppItem app(const QString &path, std::optional<QString> version = std::nullopt,
            std::optional<QString> externalVersion = std::nullopt, qint64 size = 0)
{
    return {.url = QUrl::fromLocalFile(path),
            .name = path.section(QLatin1Char('/'), -1).section(QLatin1Char('.'), 0, 0),
            .version = std::move(version),
            .size = size,
            .externalVersion = std::move(externalVersion)};
}

TEST(DuplicateInstancesPresenterTest, RowTexts)
{
    const struct
    {
        const char *name;
        DuplicateLocalInstance instance;
        QString version;
        QString size;
        QString primaryVersion;
    } cases[] = {
        // clang-format off
        {"drive version preferred", {app("/Applications/Sub/Tool.app", "1.0", {}, 2'500'000),
                                     app("/Applications/Tool.app", "1.5", "2.0")}, "v1.0", "2.5 MB", "(v2.0)"},
        {"local version of the primary", {app("/Applications/Sub/Tool.app"),
                                          app("/Applications/Tool.app", "1.5")}, {}, "Zero KB", "(v1.5)"},
        {"no versions", {app("/Applications/Sub/Tool.app"), app("/Applications/Tool.app")}, {}, "Zero KB", {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const DuplicateRow row = DuplicateInstancesPresenter::row(c.instance);
        EXPECT_EQ(row.versionText, c.version) << c.name;
        EXPECT_EQ(row.sizeText, c.size) << c.name;
        EXPECT_EQ(row.primaryVersionText, c.primaryVersion) << c.name;
        EXPECT_EQ(row.localPathText, QStringLiteral("Local copy: /Applications/Sub/Tool.app"));
        EXPECT_EQ(row.primaryPathText, QStringLiteral("Offloaded primary: /Applications/Tool.app"));
        EXPECT_TRUE(row.runningWarning.isEmpty()) << c.name;
    }
}

TEST(DuplicateInstancesPresenterTest, RunningCopyAndReclaimableTotal)
{
    AppItem running = app("/Applications/Sub/Tool.app", {}, {}, 1000);
    running.isRunning = true;
    const DuplicateLocalInstance busy{running, app("/Applications/Tool.app", {}, {}, 999'000)};
    const DuplicateLocalInstance idle{app("/Applications/Other/Tool.app", {}, {}, 3000),
                                      app("/Applications/Tool.app")};
    EXPECT_EQ(DuplicateInstancesPresenter::row(busy).runningWarning,
              QStringLiteral("Running — quit before trashing"));
    // Only the local copies' sizes count.
    EXPECT_EQ(DuplicateInstancesPresenter::totalText({busy, idle}),
              QStringLiteral("Total reclaimable: 4 KB"));
    EXPECT_TRUE(DuplicateInstancesPresenter::totalText({}).isEmpty());
}

TEST(DuplicateInstancesPresenterTest, OutcomeMessages)
{
    const struct
    {
        TrashResult result;
        std::optional<QString> message;
    } cases[] = {
        {{1, {}}, "Moved 1 redundant local copy(s) to Trash."},
        {{1200, {}}, "Moved 1200 redundant local copy(s) to Trash."},
        {{0, {}}, std::nullopt},
        {{0, {"Tool is currently running; quit it before moving to Trash."}},
         "Moved 0 item(s) to Trash. Errors:\nTool is currently running; quit it before moving to "
         "Trash."},
        {{2, {"a", "Administrator authorization failed: denied"}},
         "Moved 2 item(s) to Trash. Errors:\na\nAdministrator authorization failed: denied"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DuplicateInstancesPresenter::statusMessage(c.result), c.message);
}

} // namespace
