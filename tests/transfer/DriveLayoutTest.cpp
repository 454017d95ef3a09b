#include "transfer/DriveLayout.h"
#include "base/Uuid.h"
#include "model/AppItem.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

TEST(DriveLayout, BundlesKeepTheirSubfolderAndStageBesideTheirFinalName)
{
    Sandbox sandbox;
    const QUrl drive = QUrl::fromLocalFile(sandbox.drive());
    const auto bundleOn = [&](const QString &folder) {
        AppItem app{.url = QUrl::fromLocalFile(folder + QStringLiteral("/Foo.app")),
                    .name = QStringLiteral("Foo")};
        return DriveLayout::finalBundleLocation(drive, app).toLocalFile();
    };
    EXPECT_EQ(bundleOn(sandbox.applications() + QStringLiteral("/Tools/Editors")),
              sandbox.drive() + QStringLiteral("/Applications/Tools/Editors/Foo.app"));
    EXPECT_EQ(bundleOn(sandbox.userApplications()),
              sandbox.drive() + QStringLiteral("/Applications/Foo.app"));
    EXPECT_EQ(DriveLayout::stagedLocation(QUrl::fromLocalFile(QStringLiteral("/V/A/Foo.app/")))
                  .toLocalFile(),
              QStringLiteral("/V/A/Foo.app.korvanthelix-partial"));

    const QString aside = DriveLayout::rollbackName(QStringLiteral("Foo.app"));
    ASSERT_TRUE(aside.startsWith(QStringLiteral(".Foo.app.rollback-")));
    EXPECT_TRUE(isUuidText(aside.mid(18)));
}

} // namespace
