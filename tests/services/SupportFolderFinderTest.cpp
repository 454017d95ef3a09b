#include "services/SupportFolderFinder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

TEST(SupportDiscovery, ExactNamesAreSelectedTokensOffered)
{
    const struct
    {
        QString name;
        std::optional<QString> bundleId;
        QStringList folders;  // "/" first: in the system's root, else the user's
        QStringList expected; // "*" marks a selected folder; in listing order
    } cases[] = {
        {"Foo Bar",
         "com.acme.foobar",
         {"Foo Bar", "FOOBAR", "com.acme.foobar", "acme", "acme-tools"},
         {"FOOBAR*", "Foo Bar*", "acme", "com.acme.foobar*"}},
        {"Thing", "org.mac.app", {"mac", "app", "org.mac.app"}, {"org.mac.app*"}},
        {"Thing", " acme.things.desktop \n", {"acme", "things", "desktop"}, {"things"}},
        {"Tool", std::nullopt, {"tool", "Tools"}, {"tool*"}},
        {"Tablet",
         "com.ugee.driver",
         {"pendriver", "PenTablet", "XP-Pen", "xppen"},
         {"PenTablet*", "XP-Pen", "pendriver*", "xppen"}},
        // One name in both roots: both would be stored at one place on the drive.
        {"Atlas Maps",
         "com.northwind.atlasmaps",
         {"Atlas Maps", "/Atlas Maps", "/atlasmaps"},
         {"Atlas Maps*", "Atlas Maps", "atlasmaps*"}},
    };
    for (const auto &c : cases) {
        Sandbox sandbox;
        for (const QString &folder : c.folders)
            sandbox.makeFolder(folder.startsWith('/')
                                   ? QString(sandbox.systemSupport() + folder)
                                   : QString(sandbox.userSupport() + "/" + folder));
        QStringList found;
        for (const SupportFolder &folder :
             SupportFolderFinder(sandbox.paths().supportRoots()).discover(c.name, c.bundleId))
            found << PathUtils::lastComponent(folder.id()) + (folder.isSelected ? "*" : "");
        EXPECT_EQ(found, c.expected) << c.name.toStdString();
    }
}

TEST(SupportDiscovery, UserRootFirstAndLinksOnlyWhenReachable)
{
    Sandbox sandbox;
    sandbox.makeFolder(sandbox.systemSupport() + "/Tool");
    const QString driveCopy = sandbox.makeFolder(sandbox.drive() + "/Support/Tool");
    sandbox.makeSymlink(sandbox.userSupport() + "/Tool", driveCopy);
    sandbox.makeSymlink(sandbox.systemSupport() + "/TOOL", sandbox.path("Volumes/Gone/Tool"));

    const QList<SupportFolder> found =
        SupportFolderFinder(sandbox.paths().supportRoots()).discover("Tool", std::nullopt);
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found[0], (SupportFolder{QUrl::fromLocalFile(sandbox.userSupport() + "/Tool"),
                                       "~/Library.../Tool", 0, true, true, driveCopy, true}));
    // Stored at one place on the drive with the first: offered, not selected.
    EXPECT_EQ(found[1], (SupportFolder{QUrl::fromLocalFile(sandbox.systemSupport() + "/Tool"),
                                       "/Library.../Tool", 0, false, false, std::nullopt, false}));
}

} // namespace
