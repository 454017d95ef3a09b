#include "services/ProtectionGuard.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

TEST(ProtectionGuardTest, RulesApplyInOrder)
{
    Sandbox sandbox;
    const QString home = sandbox.paths().usersRoot + "/tester/Applications/";
    const QString core = "Core macOS system component (";
    const QString self = "Korvanthelix cannot offload itself while running";
    const QString apple = "Apple system application (";
    const QString other = "Protected Apple system application (";
    const struct
    {
        QString path;
        std::optional<QString> id;
        std::optional<QString> reason; // nothing: free
    } rows[] = {
        {"/System/Applications/Safari.app", "com.apple.Safari", core + "/System)"},
        {"/usrlocal/Tool.app", {}, core + "/usr)"},
        {"/Applications/../Library/Apple/X.app", "com.acme.x", core + "/Library/Apple)"},
        {"/Applications/KORVANTHELIX.app", {}, self},
        {home + "Korvanthelix.app", "com.acme.x", self},
        {"/Applications/Other.app", "com.korvanthelix.KorvanthelixSwift", self},
        {home + "Safari.app", "com.apple.Safari", {}},
        {"/Applications/Tool.app", {}, {}},
        {"/Applications/Pin.app", "com.apple.Safari.WebApp.1", {}},
        {"/Applications/S.app", "com.apple.Safari", apple + "com.apple.Safari)"},
        {"/Applications/S.app", "com.apple.Safari.Tech", apple + "com.apple.Safari)"},
        {"/Applications/S.app", "com.apple.safari", other + "com.apple.safari)"},
        {"/Applications/S.app", "com.apple.SafariTech", other + "com.apple.SafariTech)"},
        {"/Applications/X.app", "COM.APPLE.DT.XCODE", {}},
        {"/Applications/P.app", "com.apple.iWork.Pages", {}},
        {"/Applications/X.app", "com.apple.iWorkX", other + "com.apple.iWorkX)"},
        {"/Applications/X.app", "com.applesauce.app", {}},
    };
    for (const auto &row : rows) {
        const ProtectionResult result =
            ProtectionGuard::checkProtection(QUrl::fromLocalFile(row.path), row.id);
        EXPECT_EQ(result.isProtected, row.reason.has_value()) << qPrintable(row.path);
        EXPECT_EQ(result.reason, row.reason) << qPrintable(row.path);
    }
}
