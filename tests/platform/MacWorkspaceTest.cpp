#include "platform/macos/MacWorkspace.h"

#include "FakeDarwinCalls.h"

#include <gtest/gtest.h>

TEST(MacWorkspaceTest, RunningApplicationsAreTheBundlesTheirExecutablesSitIn)
{
    auto darwin = std::make_shared<FakeDarwinCalls>();
    darwin->processes = {
        {101, "/Applications/Safe Notes.app/Contents/MacOS/Safe Notes"},
        {102, "/Applications/Tools/Sketch Pad.app/Contents/MacOS/Sketch Pad"},
        // A helper application inside another bundle is an application of its own.
        {103, "/Applications/Browser.app/Contents/Frameworks/Browser Framework.framework/"
              "Helpers/Browser Helper.app/Contents/MacOS/Browser Helper"},
        {104, "/Volumes/Drive/Applications/Mixer.APP/Contents/MacOS/Mixer"},
        {105, "/Users/alice/Applications/Chat.app/Contents/MacOS/Chat"},
        {106, "/usr/libexec/trustd"},                                    // no bundle
        {107, ""},                                                       // proc_pidpath refused
        {108, "/Applications/Safe Notes.app/Contents/MacOS/Safe Notes"}, // second process
        {109, "/opt/tools/app/bin/worker"}, // "app" without the extension
        // Started quarantined from /Applications, run by Gatekeeper from a translocated copy.
        {110, "/private/var/folders/x1/T/AppTranslocation/6C1E/d/Fetched.app/Contents/MacOS/F"},
    };
    darwin->translocations = {{"/private/var/folders/x1/T/AppTranslocation/6C1E/d/Fetched.app",
                               "/Applications/Fetched.app"}};
    MacWorkspace workspace(darwin);
    QStringList bundles = workspace.runningApplicationBundles();
    bundles.sort();
    EXPECT_EQ(bundles, (QStringList{
                           "/Applications/Browser.app/Contents/Frameworks/"
                           "Browser Framework.framework/Helpers/Browser Helper.app",
                           "/Applications/Fetched.app",
                           "/Applications/Safe Notes.app",
                           "/Applications/Tools/Sketch Pad.app",
                           "/Users/alice/Applications/Chat.app",
                           "/Volumes/Drive/Applications/Mixer.APP",
                       }));
}

TEST(MacWorkspaceTest, QuitAsksOnlyARunningApplication)
{
    EXPECT_EQ(MacWorkspace::quitScript(QStringLiteral("com.acme.\"odd\"")),
              QStringLiteral("if application id \"com.acme.\\\"odd\\\"\" is running then\n"
                             "    tell application id \"com.acme.\\\"odd\\\"\" to quit\n"
                             "end if"));
    EXPECT_EQ(MacWorkspace::revealCommand({"/Applications/A.app", "/Volumes/D/B.app"}),
              (ToolCommand{"/usr/bin/open", {"-R", "/Applications/A.app", "/Volumes/D/B.app"}}));
}
