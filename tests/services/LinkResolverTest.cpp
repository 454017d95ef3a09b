#include "services/LinkResolver.h"
#include "services/BundleFacts.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

// The item /Applications/Tool.app -> "../Missing/Tool.app"; `bundles` are made below the
// sandbox root and `expected` is the first of the fallbacks that exists.
TEST(LinkResolution, RelativeTargetFallbacks)
{
    const struct
    {
        QStringList bundles;
        QString expected;
    } cases[] = {
        {{"Missing/Tool.app", "Applications/Intel Apps/Tool.app"}, "Missing/Tool.app"},
        {{"Applications/Intel Apps/Intel Apps/Tool.app", "Applications/Intel Apps/Tool.app"},
         "Applications/Intel Apps/Intel Apps/Tool.app"},
        {{"Applications/Intel Apps/Tool.app", "Volumes/Drive/Applications/Tool.app"},
         "Applications/Intel Apps/Tool.app"},
        {{"Volumes/Drive/Applications/Intel Apps/Tool.app", "Volumes/Drive/Applications/Tool.app"},
         "Volumes/Drive/Applications/Intel Apps/Tool.app"},
        {{"Volumes/Drive/Applications/Tool.app"}, "Volumes/Drive/Applications/Tool.app"},
        {{}, "Missing/Tool.app"},
    };
    for (const auto &c : cases) {
        Sandbox sandbox;
        for (const QString &bundle : c.bundles)
            BundleBuilder(sandbox.path(bundle)).build();
        const QString item = sandbox.makeSymlink(sandbox.applications() + "/Tool.app",
                                                 QStringLiteral("../Missing/Tool.app"));
        EXPECT_EQ(LinkResolver::resolveLinkTarget(item),
                  (LinkResolution{true, sandbox.path(c.expected)}))
            << c.expected.toStdString();
    }
}

TEST(LinkResolution, FollowsAtMostTenFurtherLinks)
{
    Sandbox sandbox;
    const QString bundle = BundleBuilder(sandbox.drive() + "/Tool.app").build();
    const auto chain = [&](int links) {
        const QString folder = sandbox.path(QStringLiteral("chain%1").arg(links));
        for (int i = 1; i <= links; ++i)
            sandbox.makeSymlink(folder + QStringLiteral("/L%1").arg(i),
                                i == links ? bundle : QStringLiteral("L%1").arg(i + 1));
        return sandbox.makeSymlink(sandbox.applications() + QStringLiteral("/C%1.app").arg(links),
                                   folder + "/L1");
    };
    EXPECT_EQ(LinkResolver::resolveLinkTarget(chain(5)).target, bundle);
    // The item's own destination L1, then ten hops to L11, itself a link.
    EXPECT_EQ(LinkResolver::resolveLinkTarget(chain(12)).target, sandbox.path("chain12/L11"));
}

TEST(LinkResolution, IdentifierOfWhatAnItemStandsFor)
{
    const QString proxyId = QStringLiteral("com.korvanthelix.proxy.tool");
    const QString targetId = QStringLiteral("com.acme.tool");
    const struct
    {
        PlistFile::Entries item; // empty: an alias file without a property list
        bool targetHasPlist;
        std::optional<QString> expected;
    } cases[] = {
        {{{"CFBundleIdentifier", proxyId}, {"OriginalBundleIdentifier", "com.acme.orig"}},
         true,
         QStringLiteral("com.acme.orig")},
        {{{"CFBundleIdentifier", proxyId}, {"OriginalBundleIdentifier", QString()}},
         true,
         targetId},
        {{{"CFBundleIdentifier", proxyId}}, false, proxyId},
        {{{"CFBundleIdentifier", "com.acme.own"}}, true, QStringLiteral("com.acme.own")},
        {{}, true, targetId},
        {{}, false, std::nullopt},
    };
    for (const auto &c : cases) {
        Sandbox sandbox;
        const QString target = sandbox.drive() + "/Tool.app";
        if (c.targetHasPlist)
            writeInfoPlist(target, {{"CFBundleIdentifier", targetId}});
        const QString item = sandbox.applications() + "/Tool.app";
        if (c.item.isEmpty())
            sandbox.writeFile(item, "alias");
        else
            writeInfoPlist(item, c.item);
        EXPECT_EQ(BundleFacts::bundleIdentifier(item, target), c.expected);
    }
}

TEST(LinkResolution, LedgerRecordIsTheNewestMatch)
{
    const QString path = QStringLiteral("/Applications/Tool.app");
    const auto record = [&](const char *time, const QString &status) {
        return MigrationRecord(QString::fromUtf8(time), "Tool", {}, {}, path, {}, false, status,
                               {});
    };
    const MigrationRecord offload = record("2025-01-01T10:00:00Z", MigrationStatus::restored());
    const MigrationRecord backup = record("2025-03-01T10:00:00Z", MigrationStatus::copied());
    const MigrationRecord sameSecond = record("2025-03-01T10:00:00Z", MigrationStatus::active());

    // Listed the last read first; whatever the order, the newest decides.
    EXPECT_EQ(LinkResolver::ledgerRecord(path, {offload, backup}), backup);
    EXPECT_EQ(LinkResolver::ledgerRecord(path, {backup, offload}), backup);
    EXPECT_EQ(LinkResolver::ledgerRecord(path + "/", {offload}), offload);
    // Of equal times the one read last, listed first.
    EXPECT_EQ(LinkResolver::ledgerRecord(path, {sameSecond, backup}), sameSecond);
    EXPECT_EQ(LinkResolver::ledgerRecord("/Applications/Other.app", {backup}), std::nullopt);
}

TEST(LinkResolution, ExternalVolumesLeaveOutTheMacsOwn)
{
    Sandbox sandbox;
    sandbox.makeSymlink(sandbox.volumesRoot() + "/Macintosh HD", QStringLiteral("/"));
    sandbox.addDrive("Recovery");
    sandbox.addDrive(".hidden");
    FakeVolumeService::Volume internal;
    internal.values.isInternal = true;
    sandbox.system().fakeVolumes().setVolume(sandbox.addDrive("Internal"), internal);
    const QString unknown = sandbox.addDrive("Unknown"); // no resource values: external

    EXPECT_EQ(LinkResolver::externalVolumes(), (QStringList{sandbox.drive(), unknown}));
}

} // namespace
