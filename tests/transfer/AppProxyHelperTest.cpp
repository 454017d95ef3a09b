#include "transfer/AppProxyHelper.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "base/Uuid.h"
#include "support/BundleBuilder.h"
#include "support/Errors.h"
#include "support/FakeTool.h"
#include "support/Sandbox.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "transfer/ProxyLauncherSource.h"

#include <QDir>
#include <QFile>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using Text = std::optional<QString>;

QUrl fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path);
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Removes a file, a folder tree or a link itself, never what a link points to.
void removeItem(const QString &path)
{
    std::error_code error;
    std::filesystem::remove_all(QFile::encodeName(path).toStdString(), error);
}

class AppProxyHelperTest : public ::testing::Test
{
protected:
    FakeBundleServices &services() { return sandbox.system().fakeBundleServices(); }
    QString onDrive(const QString &name) const
    {
        return sandbox.drive() + "/Applications/" + name + ".app";
    }
    QString inApplications(const QString &name) const
    {
        return sandbox.applications() + "/" + name + ".app";
    }
    QString driveApp(const QString &name = "Tool") const
    {
        return BundleBuilder(onDrive(name)).identifier(QStringLiteral("com.acme.tool")).build();
    }
    static void create(const QString &target, const QString &destination,
                       const QString &name = "Tool")
    {
        AppProxyHelper::createProxyBundle(name, fileUrl(target), fileUrl(destination), std::nullopt,
                                          std::nullopt);
    }
    static AppItem linkItem(const QString &path, const QString &target)
    {
        AppItem item{.url = fileUrl(path), .name = PathUtils::baseName(path)};
        item.isSymlink = item.isAlias = true;
        item.symlinkTarget = target;
        return item;
    }

    Sandbox sandbox;
};

TEST_F(AppProxyHelperTest, WritesThePropertyListExactly)
{
    struct Case
    {
        const char *label;
        QString appName;
        Text identifierArgument, versionArgument;
        bool targetHasPlist;
        Text targetIdentifier, targetShortVersion, targetBuild;
        QString name, identifier, version;
        Text original;
    };
    const Text none;
    const Case cases[] = {
        {"tags removed, defaults", "Name [Tag]", none, none, true, none, none, none, "Name",
         "com.korvanthelix.proxy.name", "1.0", none},
        {"arguments win, identifier sanitised", "My App", "a.b.c_d", "2.0", true, "com.other", "9",
         none, "My App", "com.korvanthelix.proxy.a.b.c-d", "2.0", "a.b.c_d"},
        {"prefixed identifier kept, build number as version", "Tool", none, none, true,
         "com.korvanthelix.proxy.tool", none, "77", "Tool", "com.korvanthelix.proxy.tool", "77",
         "com.korvanthelix.proxy.tool"},
        {"empty identifier argument counts as absent", "Tool", "", none, true, "com.acme.tool",
         "3.1", "310", "Tool", "com.korvanthelix.proxy.com.acme.tool", "3.1", "com.acme.tool"},
        {"empty target identifier counts as absent", "Café & Co", none, none, true, "", none, none,
         "Café & Co", "com.korvanthelix.proxy.caf-.-.co", "1.0", none},
        {"unreadable target plist: arguments alone", "My Tool [Beta] [x]", none, "5", false, none,
         none, none, "My Tool", "com.korvanthelix.proxy.my.tool", "5", none},
    };
    const QString target = onDrive("Target");
    const QString destination = inApplications("Proxy");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        removeItem(target);
        BundleBuilder builder(target);
        if (c.targetHasPlist)
            builder.identifier(c.targetIdentifier)
                .version(c.targetShortVersion)
                .buildNumber(c.targetBuild);
        else
            builder.withoutInfoPlist();
        builder.build();

        AppProxyHelper::createProxyBundle(c.appName, fileUrl(target), fileUrl(destination),
                                          c.identifierArgument, c.versionArgument);

        PlistFile::Entries expected = {
            {"CFBundlePackageType", "APPL"},
            {"CFBundleIdentifier", c.identifier},
            {"CFBundleName", c.name},
            {"CFBundleDisplayName", c.name},
            {"CFBundleExecutable", "ProxyLauncher"},
            {"CFBundleShortVersionString", c.version},
            {"CFBundleVersion", c.version},
            {"CFBundleIconFile", "AppIcon"},
            {"LSMinimumSystemVersion", "12.0"},
            {"NSHighResolutionCapable", true},
            {"TargetAppPath", target},
            {"TargetVolumeName", "Drive"},
            {"IsKorvanthelixProxy", true},
        };
        if (c.original)
            expected.append({"OriginalBundleIdentifier", *c.original});
        EXPECT_EQ(contentOf(destination + "/Contents/Info.plist"),
                  PlistFile::serialize(expected, PlistFile::Format::Xml));
    }
}

TEST_F(AppProxyHelperTest, KeepsTheTargetPathAsGivenThenSignsRegistersAndComments)
{
    driveApp();
    sandbox.makeFolder(sandbox.drive() + "/Applications/Sub");
    const struct
    {
        QString given, volume;
    } cases[] = {
        {sandbox.drive() + "/Applications/Sub/../Tool.app", "Drive"},
        {sandbox.root() + "/Applications/../Volumes/Drive/Applications/Tool.app",
         "External Volume"},
    };
    const QString destination = inApplications("Tool");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given.toStdString());
        services().clearCalls();
        create(c.given, destination);
        const QVariantMap info =
            PlistFile::readDictionary(destination + "/Contents/Info.plist").value_or(QVariantMap());
        EXPECT_EQ(info.value("TargetAppPath").toString(), c.given);
        EXPECT_EQ(info.value("TargetVolumeName").toString(), c.volume);
        using Call = FakeBundleServices::Call;
        EXPECT_EQ(services().calls(),
                  (QList<Call>{{"signAdHoc", {destination}},
                               {"registerApplication", {destination}},
                               {"setComment",
                                {destination, "Korvanthelix Proxy -> Stored on " + c.volume + ": " +
                                                  c.given}}}));
        const QString launcher = destination + "/Contents/MacOS/ProxyLauncher";
        EXPECT_EQ(contentOf(launcher), contentOf(*services().programResource("ProxyLauncher")));
        struct stat info2
        {};
        ASSERT_EQ(::stat(QFile::encodeName(launcher).constData(), &info2), 0);
        EXPECT_EQ(info2.st_mode & 07777, 0755u);
    }
}

TEST_F(AppProxyHelperTest, RefusesTargetsOffTheDrivesAndMissingOnesWithoutTouchingTheDestination)
{
    const QString local = BundleBuilder(inApplications("Local")).build();
    sandbox.makeSymlink(onDrive("Dangling"), "/nowhere");
    const QString refused = "Refusing to create a proxy for system or non-external path: ";
    const QString missing = "Target application does not exist on disk: ";
    const struct
    {
        QString target;
        int code;
        QString message;
    } cases[] = {
        {"/System/Volumes/Data/Tool.app", 403, refused + "/System/Volumes/Data/Tool.app"},
        {local, 403, refused + local},
        {sandbox.drive() + "/../../Applications/Local.app", 403, refused + local},
        {onDrive("Missing"), 404, missing + onDrive("Missing")},
        {onDrive("Dangling"), 404, missing + onDrive("Dangling")},
    };
    const QString destination = sandbox.makeSymlink(inApplications("Tool"), "/gone");
    const TreeDigest before = digestTree(sandbox.applications());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        const auto error = errorOf([&] { create(c.target, destination); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "AppProxyHelper");
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->message(), c.message);
        EXPECT_EQ(describeDifference(before, digestTree(sandbox.applications())), "");
    }
    EXPECT_TRUE(services().calls().isEmpty());
}

TEST_F(AppProxyHelperTest, LeavesAnythingButStandInsAndRemnantsAtTheDestinationAlone)
{
    const QString target = driveApp();
    const QString destination = inApplications("Tool");
    const struct
    {
        const char *label;
        std::function<void()> setup;
        bool registeredAgain;
    } cases[] = {
        {"a real application", [&] { BundleBuilder(destination).build(); }, true},
        {"a plist whose marker is false",
         [&] { BundleBuilder(destination).plistValue("IsKorvanthelixProxy", false).build(); },
         true},
        {"an application whose plist is garbage",
         [&] {
             BundleBuilder(destination).withoutInfoPlist().build();
             sandbox.writeFile(destination + "/Contents/Info.plist", "not a plist");
         },
         false},
        {"a plain file", [&] { sandbox.writeFile(destination, "data"); }, false},
        {"a launcher beside a foreign file",
         [&] {
             sandbox.writeFile(destination + "/Contents/MacOS/ProxyLauncher", "x", 0755);
             sandbox.writeFile(destination + "/Contents/Resources/Notes.txt", "mine");
         },
         false},
        // Its Info.plist says proxy, to the Mac too, which drops U+FEFF from an XML key.
        {"a real application with a key that begins with U+FEFF",
         [&] {
             BundleBuilder(destination)
                 .plistValue(QStringLiteral("\uFEFFTargetAppPath"), target)
                 .build();
         },
         true},
        {"a marked proxy beside a foreign file",
         [&] {
             writeInfoPlist(destination, {{"IsKorvanthelixProxy", true}});
             sandbox.writeFile(destination + "/Contents/Resources/Notes.txt", "mine");
         },
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        removeItem(destination);
        services().clearCalls();
        c.setup();
        const TreeDigest before = digestTree(destination);

        const auto error = errorOf([&] { create(target, destination); });

        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 409);
        EXPECT_EQ(error->message(), "An application already exists at '" + destination +
                                        "'. Cannot overwrite an existing application.");
        EXPECT_EQ(describeDifference(before, digestTree(destination)), "");
        EXPECT_EQ(services().calls().size(), c.registeredAgain ? 1 : 0);
    }
}

TEST_F(AppProxyHelperTest, ReplacesLinksAliasesOlderProxiesAndRemnants)
{
    const QString target = driveApp();
    const QString destination = inApplications("Tool");
    const QString linked = sandbox.writeFile(sandbox.path("Elsewhere/keep.txt"), "keep");
    const struct
    {
        const char *label;
        std::function<void()> setup;
    } cases[] = {
        {"a dangling link", [&] { sandbox.makeSymlink(destination, "/nowhere"); }},
        {"a link to a folder",
         [&] { sandbox.makeSymlink(destination, PathUtils::parentPath(linked)); }},
        {"an older proxy",
         [&] {
             writeInfoPlist(destination, {{"IsKorvanthelixProxy", true}});
             sandbox.writeFile(destination + "/Contents/Resources/AppIcon.png", "old");
         }},
        {"a proxy known by its target path",
         [&] {
             writeInfoPlist(destination, {{"TargetAppPath", 7}});
         }},
        {"an unfinished build with a broken plist",
         [&] {
             sandbox.writeFile(destination + "/Contents/MacOS/ProxyLauncher", "x", 0755);
             sandbox.writeFile(destination + "/Contents/Info.plist", "<plist");
         }},
        // Last: the fake calls the destination an alias from here on.
        {"an alias file",
         [&] {
             sandbox.writeFile(destination, "alias");
             sandbox.system().fakeFileResources().addAlias(destination, target);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        c.setup();
        create(target, destination);
        EXPECT_TRUE(AppProxyHelper::isProxyBundle(fileUrl(destination)));
        EXPECT_NE(contentOf(destination + "/Contents/Resources/AppIcon.png"), "old");
        EXPECT_EQ(contentOf(linked), "keep");
        removeItem(destination);
    }
}

TEST_F(AppProxyHelperTest, FailedBuildRemovesItsPartialBundle)
{
    const QString target = driveApp();
    const QString destination = sandbox.makeSymlink(inApplications("Tool"), "/nowhere");
    services().setProgramResource("ProxyLauncher", std::nullopt);
    FakeTool compiler("cc", "exit 1");
    services().setCompiler(compiler.path());

    const auto error = errorOf([&] { create(target, destination); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 1);
    EXPECT_FALSE(PathUtils::existsNoFollow(destination));
}

TEST_F(AppProxyHelperTest, CopiesTheTargetsIconOrWritesTheDesktopIcon)
{
    const struct
    {
        const char *label;
        Text iconEntry;
        QByteArray png, expectedIcns, expectedPng;
    } cases[] = {
        {"named without extension", "AppIcon", "PNG", "icns", ""},
        {"a path leading out of Resources", "../Other/AppIcon.icns", "PNG", "icns", ""},
        {"a missing file", "Missing", "PNG", "", "PNG"},
        {"no entry", std::nullopt, "PNG", "", "PNG"},
        {"no entry and no desktop icon", std::nullopt, "", "", ""},
    };
    const QString target = onDrive("Iconic");
    const QString resources = inApplications("Iconic") + "/Contents/Resources/";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        removeItem(target);
        BundleBuilder builder(target);
        builder.file("Resources/AppIcon.icns", "icns").file("Other/AppIcon.icns", "escaped");
        if (c.iconEntry)
            builder.plistValue("CFBundleIconFile", *c.iconEntry);
        builder.build();
        services().setIconPng(c.png);

        create(target, inApplications("Iconic"));

        EXPECT_EQ(contentOf(resources + "AppIcon.icns"), c.expectedIcns);
        EXPECT_EQ(contentOf(resources + "AppIcon.png"), c.expectedPng);
    }
}

// Identifier, version and icon of the target, and the test of what stands in the way, read
// the Info.plist in whatever form it is.
TEST_F(AppProxyHelperTest, ReadsTargetsAndDestinationsInEveryForm)
{
    for (const InfoPlistForm form : allInfoPlistForms) {
        SCOPED_TRACE(labelOf(form));
        const QString target = onDrive("Formed");
        removeItem(target);
        BundleBuilder(target)
            .identifier(QStringLiteral("com.acme.formed"))
            .version(QStringLiteral("3.2"))
            .plistValue("CFBundleIconFile", "Formed")
            .file("Resources/Formed.icns", "icns")
            .form(form)
            .build();
        const QString proxy = inApplications("Formed");
        removeItem(proxy);

        create(target, proxy, "Formed");

        const QVariantMap info =
            PlistFile::readDictionary(proxy + "/Contents/Info.plist").value_or(QVariantMap());
        EXPECT_EQ(info.value("OriginalBundleIdentifier"), QStringLiteral("com.acme.formed"));
        EXPECT_EQ(info.value("CFBundleIdentifier"),
                  QStringLiteral("com.korvanthelix.proxy.com.acme.formed"));
        EXPECT_EQ(info.value("CFBundleShortVersionString"), QStringLiteral("3.2"));
        EXPECT_EQ(contentOf(proxy + "/Contents/Resources/AppIcon.icns"), "icns");

        // A real application in the way is never replaced, whatever form its file is in.
        const QString real = inApplications("Real");
        removeItem(real);
        BundleBuilder(real).identifier(QStringLiteral("com.acme.real")).form(form).build();
        const auto error = errorOf([&] { create(target, real, "Real"); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 409);
        EXPECT_EQ(PlistFile::readDictionary(real + "/Contents/Info.plist")
                      .value_or(QVariantMap())
                      .value("CFBundleIdentifier"),
                  QStringLiteral("com.acme.real"));
    }
}

TEST_F(AppProxyHelperTest, FindsThePrebuiltLauncherOrCompilesTheCarriedSource)
{
    const QString keptSource = sandbox.path("compiled-source.m");
    // Argument 8 is the source file, 10 the output file.
    const QString keepSource = "cp \"$8\" '" + keptSource + "'; ";
    const struct
    {
        const char *label;
        bool resource, bundleFile;
        QString compilerBody;
        QByteArray expected; // empty: the build fails with code 1
    } cases[] = {
        {"the program's resource first", true, true, "", "resource"},
        {"then its bundle's Resources", false, true, "", "bundle"},
        {"then a successful build", false, false, "printf built > \"${10}\"", "built"},
        {"a failing compiler", false, false, "printf built > \"${10}\"; exit 2", ""},
        {"a compiler that writes nothing", false, false, "exit 0", ""},
    };
    const QString bundleFile = sandbox.path("Program/Contents/Resources/ProxyLauncher");
    const QString resource = sandbox.path("Program/ProxyLauncher");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        FakeTool compiler("cc", keepSource + c.compilerBody);
        services().setCompiler(compiler.path());
        sandbox.writeFile(resource, "resource");
        services().setProgramResource("ProxyLauncher", c.resource ? Text(resource) : Text());
        c.bundleFile ? (void)sandbox.writeFile(bundleFile, "bundle")
                     : (void)QFile::remove(bundleFile);

        QByteArray data;
        const auto error = errorOf([&] { data = AppProxyHelper::getProxyLauncherData(); });

        EXPECT_EQ(data, c.expected);
        EXPECT_EQ(error.has_value(), c.expected.isEmpty());
        if (error) {
            EXPECT_EQ(error->message(), "Failed to locate or compile ProxyLauncher executable");
        }
        EXPECT_TRUE(QDir(sandbox.paths().temp)
                        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        const bool compiles = !c.resource && !c.bundleFile;
        ASSERT_EQ(compiler.calls().size(), compiles ? 1 : 0);
        if (!compiles)
            continue;
        const QStringList args = compiler.calls().constFirst();
        const QString prefix = sandbox.paths().temp + "/ProxyLauncher_";
        const QString sourceUuid = args.value(7).mid(prefix.size()).chopped(2);
        const QString outputUuid = args.value(9).mid(prefix.size());
        EXPECT_EQ(args, (QStringList{"-arch", "arm64", "-O2", "-framework", "Cocoa", "-framework",
                                     "Foundation", prefix + sourceUuid + ".m", "-o",
                                     prefix + outputUuid}));
        EXPECT_TRUE(isUuidText(sourceUuid) && isUuidText(outputUuid));
        EXPECT_NE(sourceUuid, outputUuid);
        EXPECT_EQ(contentOf(keptSource), QByteArray(proxyLauncherSourceText));
    }
}

TEST_F(AppProxyHelperTest, PromotionMakesATopLevelProxyAndTidiesOnlyStandIns)
{
    const QString target = driveApp("Name");
    const QString former = sandbox.makeSymlink(inApplications("Name [Tag]"), target);
    const QString copy = sandbox.makeSymlink(inApplications("Name copy"), target);
    const QString userCopy = sandbox.makeSymlink(sandbox.userApplications() + "/Name.app", target);
    // A real application whose XML key reads as TargetAppPath, to the Mac too, is no stand-in.
    const QString real = BundleBuilder(inApplications("Real"))
                             .plistValue(QStringLiteral("\uFEFFTargetAppPath"), target)
                             .build();
    AppItem item = linkItem(former, target);
    item.duplicateAliasPaths = {copy, userCopy, real, inApplications("Name")};

    EXPECT_EQ(AppProxyHelper::promoteToRootApplications(item), fileUrl(inApplications("Name")));

    EXPECT_TRUE(AppProxyHelper::isProxyBundle(fileUrl(inApplications("Name"))));
    EXPECT_FALSE(PathUtils::existsNoFollow(former) || PathUtils::existsNoFollow(copy));
    EXPECT_TRUE(PathUtils::isSymlink(userCopy));
    EXPECT_TRUE(QFile::exists(real + "/Contents/Info.plist"));

    // A real former entry stays; so does everything when the promotion is refused.
    const QString realFormer = BundleBuilder(inApplications("Tool [Old]")).build();
    const QString toolTarget = driveApp("Tool");
    const QString nested =
        sandbox.makeSymlink(sandbox.applications() + "/Sub/Tool [Old].app", toolTarget);
    EXPECT_EQ(AppProxyHelper::promoteToRootApplications(linkItem(nested, toolTarget)),
              fileUrl(inApplications("Tool")));
    EXPECT_TRUE(QFile::exists(realFormer + "/Contents/Info.plist"));
    // A former entry that is a link to a drive no longer there is in the way all the same.
    const QString editorTarget = driveApp("Editor");
    const QString danglingFormer =
        sandbox.makeSymlink(inApplications("Editor [Old]"), onDrive("Unplugged/Editor [Old]"));
    const QString nestedEditor =
        sandbox.makeSymlink(sandbox.applications() + "/Sub/Editor [Old].app", editorTarget);
    EXPECT_EQ(AppProxyHelper::promoteToRootApplications(linkItem(nestedEditor, editorTarget)),
              fileUrl(inApplications("Editor")));
    EXPECT_FALSE(PathUtils::existsNoFollow(danglingFormer));
    const QString local = BundleBuilder(sandbox.applications() + "/Sub/Local.app").build();
    const QString gone = sandbox.makeSymlink(inApplications("Gone"), onDrive("Gone"));
    const QString heldTarget = driveApp("Held");
    BundleBuilder(inApplications("Held"))
        .plistValue(QStringLiteral("\uFEFFTargetAppPath"), heldTarget)
        .build();
    const struct
    {
        AppItem item;
        int code;
    } refusals[] = {
        {AppItem{.url = fileUrl(local), .name = "Local"}, 403},
        {linkItem(gone, onDrive("Gone")), 2},
        // A real application stands where the proxy would.
        {linkItem(sandbox.makeSymlink(sandbox.applications() + "/Sub/Held.app", heldTarget),
                  heldTarget),
         409},
    };
    for (const auto &c : refusals) {
        const TreeDigest before = digestTree(sandbox.applications());
        const auto error =
            errorOf([&] { (void)AppProxyHelper::promoteToRootApplications(c.item); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(describeDifference(before, digestTree(sandbox.applications())), "");
    }
}

TEST_F(AppProxyHelperTest, BatchCountsSuccessesAndListsFailures)
{
    const QString target = driveApp();
    const QString local = BundleBuilder(sandbox.applications() + "/Sub/Local.app").build();
    const QString link = sandbox.applications() + "/Sub/Tool.app";
    for (const bool promote : {false, true}) {
        SCOPED_TRACE(promote ? "promoted" : "in place");
        AppItem guarded{.url = fileUrl(inApplications("Guarded")), .name = "Guarded"};
        guarded.isProtected = true;
        const QList<AppItem> items = {guarded, AppItem{.url = fileUrl(local), .name = "Local"},
                                      linkItem(sandbox.makeSymlink(link, target), target)};

        const QFuture<ProxyBatchResult> batch = AppProxyHelper::batchCreateProxies(items, promote);
        ASSERT_TRUE(waitFor(batch));

        EXPECT_EQ(batch.result(),
                  (ProxyBatchResult{1,
                                    {"Local (Refusing to create a proxy for system or "
                                     "non-external path: " +
                                     local + ")"}}));
        EXPECT_TRUE(
            AppProxyHelper::isProxyBundle(fileUrl(promote ? inApplications("Tool") : link)));
        removeItem(link);
    }
}

} // namespace
