#include "services/RecordRule.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

// One field of a record the product would write, changed; paths below the sandbox root.
struct RuleCase
{
    const char *name;
    const char *original;
    const char *target;
    const char *supportSource;
    const char *supportTarget;
    bool passes;
};

void PrintTo(const RuleCase &c, std::ostream *os)
{
    *os << c.name;
}

class RecordRuleCheck : public ::testing::TestWithParam<RuleCase>
{};

TEST_P(RecordRuleCheck, JudgesWhereEachFieldLeads)
{
    const RuleCase &c = GetParam();
    Sandbox sandbox;
    const auto at = [&](const char *relative) {
        return sandbox.path(QString::fromLatin1(relative));
    };
    // The user's Application Support folder reached through a link of the user's own.
    Sandbox::makeSymlink(at("Users/tester/Support"),
                         at("Users/tester/Library/Application Support"));
    const MigrationRecord record(QStringLiteral("2025-01-01T00:00:00Z"), QStringLiteral("Foo"),
                                 std::nullopt, std::nullopt, at(c.original), at(c.target), true,
                                 QStringLiteral("active"),
                                 {{at(c.supportSource), at(c.supportTarget), "Foo", true}});
    const Verdict verdict = RecordRule::check(record);
    EXPECT_EQ(verdict.ok, c.passes) << verdict.reason.value_or(QString()).toStdString();
}

constexpr const char *app = "Applications/Foo.app";
constexpr const char *copy = "Volumes/Drive/Applications/Foo.app";
constexpr const char *source = "Users/tester/Library/Application Support/Foo";
constexpr const char *folderCopy = "Volumes/Drive/Application Support/Foo";

INSTANTIATE_TEST_SUITE_P(
    , RecordRuleCheck,
    ::testing::Values(
        RuleCase{"AsAnOffloadWritesIt", app, copy, source, folderCopy, true},
        RuleCase{"NestedApplicationKeepsItsFolderOnTheDrive", "Applications/Tools/Editors/Foo.APP",
                 "Volumes/Drive/Applications/Tools/Editors/Foo.APP", source, folderCopy, true},
        RuleCase{"UsersOwnApplicationsAndSystemSupport", "Users/tester/Applications/Foo.app", copy,
                 "Library/Application Support/com.acme.foo", folderCopy, true},
        RuleCase{"FolderChosenOnTheDrive", app, "Volumes/Drive/Backups/Applications/Foo.app",
                 source, "Volumes/Drive/Backups/Application Support/Foo", true},
        RuleCase{"SupportFolderThroughTheUsersOwnLink", app, copy, "Users/tester/Support/Foo",
                 folderCopy, true},
        RuleCase{"ApplicationsFolderItself", "Applications", copy, source, folderCopy, false},
        RuleCase{"NotAnApplication", "Applications/Foo", copy, source, folderCopy, false},
        RuleCase{"SupportRootItself", app, copy, "Users/tester/Library/Application Support",
                 folderCopy, false},
        RuleCase{"SupportFolderOneLevelDeeper", app, copy, "Library/Application Support/Foo/Data",
                 folderCopy, false},
        RuleCase{"DriveCopyIsTheDrivesFolder", app, "Volumes/Drive/Applications", source,
                 folderCopy, false},
        RuleCase{"DriveCopyNotBelowADrive", app, "Volumes/Applications/Foo.app", source, folderCopy,
                 false},
        RuleCase{"SupportCopyIsTheDrivesFolder", app, copy, source,
                 "Volumes/Drive/Application Support", false},
        RuleCase{"SupportCopyOutsideTheVolumes", app, copy, source,
                 "Users/tester/Application Support/Foo", false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
