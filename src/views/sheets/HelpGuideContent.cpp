#include "views/sheets/HelpGuideContent.h"

namespace HelpGuideContent {

QString title()
{
    return QStringLiteral("Korvanthelix Guide & Status Glossary");
}

const QList<Section> &sections()
{
    static const QList<Section> table = {
        {{},
         Tint::none,
         QStringLiteral("Application Status Glossary"),
         QStringLiteral("Korvanthelix categorizes every application on your system to help you "
                        "make informed storage decisions:")},
        {QStringLiteral("lock.shield.fill"), Tint::green,
         QStringLiteral("Transfer Safety & Crash Resilience"),
         QStringLiteral("Korvanthelix is engineered with strict safeguards to guarantee zero data "
                        "loss, even during power failures or unexpected drive disconnects:")},
        {QStringLiteral("doc.text.magnifyingglass"), Tint::accent,
         QStringLiteral("Diagnostics & Log Files"),
         QStringLiteral("Korvanthelix records key operations, scan counts, volume ejections, and "
                        "errors to help troubleshoot issues:")},
        {QStringLiteral("keyboard"), Tint::accent, QStringLiteral("Keyboard Shortcuts"), {}},
    };
    return table;
}

const QList<StatusCard> &statusCards()
{
    static const QList<StatusCard> table = {
        {QStringLiteral("On Mac"), QStringLiteral("On Mac"), Tint::blue,
         QStringLiteral("The application is installed locally on your Mac's internal drive. It "
                        "consumes internal storage and can be safely offloaded or backed up.")},
        {QStringLiteral("Offloaded"), QStringLiteral("Offloaded"), Tint::green,
         QStringLiteral("The app bundle and selected support data have been moved to your "
                        "external drive to free up internal storage. A native macOS Finder Alias "
                        "remains in /Applications so the app continues to launch normally.")},
        {QStringLiteral("Copied (Backup)"), QStringLiteral("Copied"), Tint::teal,
         QStringLiteral("A safety backup copy has been duplicated to your external drive. The "
                        "original application on your Mac was left completely untouched.")},
        {QStringLiteral("Duplicate Aliases"), QStringLiteral("Duplicates"), Tint::orange,
         QStringLiteral("Redundant or legacy alias copies pointing to the same external "
                        "application (e.g. legacy volume-tagged copies or nested folder "
                        "duplicates). Korvanthelix lets you clean these up to leave a single, "
                        "clean canonical reference.")},
        {QStringLiteral("Protected"), QStringLiteral("Protected"), Tint::secondary,
         QStringLiteral("Essential Apple macOS system applications (such as Safari, Mail, Finder, "
                        "and System Settings) that are protected by System Integrity Protection "
                        "(SIP). These cannot and should not be moved.")},
        {QStringLiteral("Drive Missing"), QStringLiteral("Drive Missing"), Tint::red,
         QStringLiteral("An offloaded application whose external drive is currently disconnected "
                        "or unmounted. Reconnecting the external drive will immediately restore "
                        "access.")},
    };
    return table;
}

const QList<FeatureRow> &safetyRows()
{
    static const QList<FeatureRow> table = {
        {QStringLiteral("arrow.triangle.2.circlepath.circle.fill"),
         QStringLiteral("Staged Transfer (.korvanthelix-partial)"),
         QStringLiteral("Files are copied into a temporary staging folder first. The original "
                        "application on your Mac is NEVER modified or deleted while data is "
                        "transferring. If a cable is unplugged mid-copy, your original app "
                        "remains 100% intact.")},
        {QStringLiteral("checkmark.seal.fill"),
         QStringLiteral("Deep Byte & File Integrity Verification"),
         QStringLiteral("Before any local files are touched, Korvanthelix verifies file counts, "
                        "directory hierarchy, and exact byte counts between the source and "
                        "external copy. If verification fails, the partial copy is discarded and "
                        "the original app is left untouched.")},
        {QStringLiteral("externaldrive.badge.plus"), QStringLiteral("500 MB Safety Space Buffer"),
         QStringLiteral("Every offload operation enforces a mandatory 500 MB headroom buffer "
                        "beyond the total app size to prevent external APFS drives from ever "
                        "running out of allocation space mid-transfer.")},
        {QStringLiteral("link.badge.plus"), QStringLiteral("Genuine macOS Finder Bookmark Aliases"),
         QStringLiteral("Instead of raw UNIX symlinks that can break, Korvanthelix creates "
                        "genuine macOS Bookmark Aliases with resource fork badges, recognized "
                        "natively by macOS Spotlight, Dock, and LaunchServices.")},
        {QStringLiteral("sparkles.tv"),
         QStringLiteral("macOS Apps.app Launcher Visibility (Proxy Bundles)"),
         QStringLiteral("macOS Apps.app (the application launcher) strictly ignores alias files "
                        "and external drives. Korvanthelix's 'Make Visible in Apps.app' feature "
                        "creates lightweight (~30 KB) native App Proxy bundles in /Applications "
                        "with high-res icons and LaunchServices registration, so your offloaded "
                        "apps appear right in the launcher grid.")},
        {QStringLiteral("folder.badge.gearshape"),
         QStringLiteral("Subfolder Filtering & 1-Click Promotion"),
         QStringLiteral("Apps nested inside subfolders (such as Intel Apps, Epson Software, or "
                        "Utilities) can be filtered directly in the toolbar. The 'Promote to "
                        "/Applications' action creates a root-level proxy bundle so deeply nested "
                        "apps are immediately accessible from your main launcher.")},
        {QStringLiteral("arrow.uturn.backward.circle.fill"),
         QStringLiteral("1-Click Full Parity Restore"),
         QStringLiteral("Any offloaded app can be restored back to its original internal location "
                        "at any time, moving application bundles and support directories back "
                        "safely.")},
    };
    return table;
}

const QList<FeatureRow> &diagnosticsRows()
{
    static const QList<FeatureRow> table = {
        {QStringLiteral("list.bullet.rectangle.portrait"),
         QStringLiteral("In-App Log Viewer (History → View Logs)"),
         QStringLiteral("Open the History tab and click 'View Logs' to inspect recent diagnostic "
                        "entries, refresh the feed, clear old entries, or reveal the log file "
                        "directly in Finder.")},
        {QStringLiteral("folder.fill"), QStringLiteral("Log File Location & Rotation"),
         QStringLiteral("Persistent logs are saved to "
                        "~/Library/Logs/Korvanthelix/korvanthelix.log and automatically rotate "
                        "at 5 MB (keeping korvanthelix.log.1). Structured events are also "
                        "streamed to macOS Unified Logging under subsystem "
                        "com.korvanthelix.app.")},
    };
    return table;
}

const QList<ShortcutRow> &shortcutRows()
{
    static const QList<ShortcutRow> table = {
        {QStringLiteral("Refresh / Rescan Applications"), QStringLiteral("⌘ R")},
        {QStringLiteral("Search Applications"), QStringLiteral("⌘ F")},
        {QStringLiteral("Select All Visible Apps"), QStringLiteral("⌘ ⇧ A")},
        {QStringLiteral("Clear Selection"), QStringLiteral("⌘ ⇧ D")},
        {QStringLiteral("Offload Selected App(s)"), QStringLiteral("⌘ ⇧ O")},
        {QStringLiteral("Restore Selected App(s)"), QStringLiteral("⌘ ⇧ R")},
        {QStringLiteral("Safe Eject Target Drive"), QStringLiteral("⌘ E")},
        {QStringLiteral("Switch Sidebar Sections"), QStringLiteral("⌘ 1 – ⌘ 7")},
        {QStringLiteral("Show / Hide Sidebar"), QStringLiteral("⌃ ⌘ S")},
        {QStringLiteral("Open Help & Guide"), QStringLiteral("⌘ ?")},
    };
    return table;
}

} // namespace HelpGuideContent
