#include "model/BundleProbe.h"
#include "services/BundleFacts.h"
#include "services/DuplicateFinder.h"
#include "services/InventoryCollector.h"
#include "services/LinkResolver.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

// Every reader of an Info.plist, over every form in which Macs keep one.
namespace {

InventoryCollector collector()
{
    return InventoryCollector({}, {}, System::current().paths().supportRoots());
}

std::optional<AppItem> itemAt(const QList<AppItem> &items, const QString &path)
{
    for (const AppItem &item : items) {
        if (item.id() == path)
            return item;
    }
    return std::nullopt;
}

TEST(InfoPlistForms, EveryReaderReadsEveryForm)
{
    for (const InfoPlistForm form : allInfoPlistForms) {
        SCOPED_TRACE(labelOf(form));
        Sandbox sandbox;
        const QString real = BundleBuilder(sandbox.applications() + "/Tool.app")
                                 .identifier(QStringLiteral("com.acme.tool"))
                                 .version(QStringLiteral("2.1"))
                                 .buildNumber(QStringLiteral("2104"))
                                 .form(form)
                                 .build();
        const QString onDrive = BundleBuilder(sandbox.drive() + "/Applications/Editor.app")
                                    .identifier(QStringLiteral("com.acme.editor"))
                                    .version(QStringLiteral("5.0"))
                                    .form(form)
                                    .build();
        const QString proxy = sandbox.applications() + "/Editor.app";
        writeInfoPlist(proxy,
                       {{"CFBundleIdentifier", "com.korvanthelix.proxy.com.acme.editor"},
                        {"TargetAppPath", onDrive},
                        {"OriginalBundleIdentifier", "com.acme.editor"}},
                       form);

        EXPECT_EQ(BundleFacts::versionInfo(real),
                  (VersionInfo{QStringLiteral("2.1"), QStringLiteral("2104"),
                               QStringLiteral("2.1 (2104)")}));
        EXPECT_EQ(BundleFacts::bundleIdentifier(real, std::nullopt),
                  std::optional<QString>(QStringLiteral("com.acme.tool")));
        EXPECT_FALSE(BundleProbe::isProxyBundle(QUrl::fromLocalFile(real)));

        EXPECT_TRUE(BundleProbe::isProxyBundle(QUrl::fromLocalFile(proxy)));
        EXPECT_EQ(LinkResolver::resolveLinkTarget(proxy), (LinkResolution{true, onDrive}));
        EXPECT_EQ(BundleFacts::bundleIdentifier(proxy, onDrive),
                  std::optional<QString>(QStringLiteral("com.acme.editor")));

        const QList<AppItem> items = collector().collect();
        const std::optional<AppItem> proxyItem = itemAt(items, proxy);
        ASSERT_TRUE(proxyItem);
        EXPECT_EQ(proxyItem->status(), AppOffloadStatus::proxy);
        EXPECT_EQ(proxyItem->version, QStringLiteral("5.0"));
        const std::optional<AppItem> realItem = itemAt(items, real);
        ASSERT_TRUE(realItem);
        EXPECT_EQ(realItem->version, QStringLiteral("2.1 (2104)"));
        EXPECT_EQ(realItem->status(), AppOffloadStatus::local);
    }
}

// What went wrong when such files read as nothing: an Apple application could be offloaded,
// and another maker's application was taken for a redundant copy of an offloaded one.
TEST(InfoPlistForms, ScanProtectsAndPairsByWhatTheFileSays)
{
    for (const InfoPlistForm form : allInfoPlistForms) {
        SCOPED_TRACE(labelOf(form));
        Sandbox sandbox;
        const QString safari = BundleBuilder(sandbox.applications() + "/Safari.app")
                                   .identifier(QStringLiteral("com.apple.Safari"))
                                   .form(form)
                                   .build();
        const QString offloaded = BundleBuilder(sandbox.drive() + "/Applications/Tool.app")
                                      .identifier(QStringLiteral("com.acme.tool"))
                                      .build();
        sandbox.makeSymlink(sandbox.applications() + "/Tool.app", offloaded);
        BundleBuilder(sandbox.applications() + "/Others/Tool.app")
            .identifier(QStringLiteral("com.other.tool"))
            .form(form)
            .build();

        const QList<AppItem> items = collector().collect();
        const std::optional<AppItem> safariItem = itemAt(items, safari);
        ASSERT_TRUE(safariItem);
        EXPECT_EQ(safariItem->status(), AppOffloadStatus::protected_);
        EXPECT_EQ(label(safariItem->status()), QStringLiteral("Protected"));
        EXPECT_TRUE(DuplicateFinder::findDuplicateLocalInstances(items).isEmpty());
    }
}

} // namespace
