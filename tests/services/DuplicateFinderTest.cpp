#include "services/DuplicateFinder.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

TEST(DuplicateFinder, GroupingKeyDropsBracketTags)
{
    const std::pair<const char *, const char *> cases[] = {
        {"Tool [Drive]", "tool"},       {"Tool [a] [b]", "tool"}, {" Tool Pro ", "tool pro"},
        {"Tool[Drive]", "tool[drive]"}, {"Tool []", "tool []"},   {" [x]", ""}};
    for (const auto &[name, key] : cases)
        EXPECT_EQ(DuplicateFinder::groupingKey(name), QString::fromUtf8(key)) << name;
}

TEST(DuplicateFinder, PairsLocalCopiesWithTheirPrimary)
{
    // Items by name below /Applications: "L:" a local bundle, "A:" an alias to the drive,
    // "A>" an alias to the local bundle listed before it; "|id" an identifier, "!" protected,
    // "=n" the size.
    const struct
    {
        QStringList items;
        QStringList expected; // "local -> primary"
    } cases[] = {
        {{"L:Tool.app", "A:Tool [Drive].app", "L:Tool Pro.app"}, {"Tool.app -> Tool [Drive].app"}},
        {{"L:Tool.app|com.acme.tool", "A:Tool [D].app|COM.ACME.TOOL"},
         {"Tool.app -> Tool [D].app"}},
        {{"L:Tool.app|com.acme.tool", "A:Tool [D].app|com.other.tool"}, {}},
        {{"L:Tool.app|com.acme.tool", "A:Tool [D].app|"}, {"Tool.app -> Tool [D].app"}},
        {{"L:Tool.app!", "A:Tool [D].app"}, {}},
        {{"A:Sub/Tool.app", "A:Tool [D].app", "L:Other/Tool.app"},
         {"Other/Tool.app -> Tool [D].app"}},
        {{"A:Sub/Tool.app", "A:Deep/Tool.app", "L:Tool.app"}, {"Tool.app -> Sub/Tool.app"}},
        {{"L:A/Tool.app=10", "A:Tool [D].app", "L:B/Tool.app=30", "L:C/Tool.app=10"},
         {"B/Tool.app -> Tool [D].app", "A/Tool.app -> Tool [D].app",
          "C/Tool.app -> Tool [D].app"}},
        // Trashing such a "copy" would take the application itself.
        {{"L:Real/Tool.app", "A>Tool [Here].app"}, {}},
    };
    for (const auto &c : cases) {
        Sandbox sandbox;
        const QString apps = sandbox.applications() + "/";
        QList<AppItem> items;
        for (QString spec : c.items) {
            const qint64 size = spec.contains('=') ? spec.section('=', 1).toLongLong() : 1;
            spec = spec.section('=', 0, 0);
            const bool protectedItem = spec.endsWith('!');
            spec.remove('!');
            const QString name = spec.mid(2).section('|', 0, 0);
            AppItem item{QUrl::fromLocalFile(apps + name), PathUtils::baseName(name)};
            if (spec.contains('|'))
                item.bundleIdentifier = spec.section('|', 1);
            if (spec.startsWith("L:")) {
                BundleBuilder(item.id()).build();
            } else {
                const QString target = spec.startsWith("A>") ? items.last().id() + "/Contents"
                                                             : sandbox.drive() + "/Tool.app";
                sandbox.makeSymlink(item.id(), target);
                item.isSymlink = item.isAlias = true;
                item.symlinkTarget = target;
            }
            item.size = size;
            item.isProtected = protectedItem;
            items << item;
        }
        QStringList pairs;
        for (const DuplicateLocalInstance &pair :
             DuplicateFinder::findDuplicateLocalInstances(items))
            pairs << pair.localApp.id().mid(apps.size()) + " -> " +
                         pair.offloadedPrimary.id().mid(apps.size());
        EXPECT_EQ(pairs, c.expected) << c.items.join(' ').toStdString();
    }
}

} // namespace
