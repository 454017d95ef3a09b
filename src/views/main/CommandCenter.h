#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

// The names of the commands the menus post. Every open window acts on them on its own.
namespace CommandNames {

inline const QString openHelpGuide = QStringLiteral("openHelpGuide");
inline const QString focusSearch = QStringLiteral("focusSearch");
inline const QString refreshApps = QStringLiteral("refreshApps");
inline const QString selectAllFilteredApps = QStringLiteral("selectAllFilteredApps");
inline const QString clearAppSelection = QStringLiteral("clearAppSelection");
inline const QString offloadSelectedApps = QStringLiteral("offloadSelectedApps");
inline const QString restoreSelectedApps = QStringLiteral("restoreSelectedApps");
inline const QString safeEjectTarget = QStringLiteral("safeEjectTarget");
// Carries the section's title as a string object.
inline const QString navigateSection = QStringLiteral("navigateSection");

// The nine names in declaration order.
[[nodiscard]] QStringList all();

} // namespace CommandNames

// The process-wide post office between the menus and the windows: a menu item posts a name
// (and an optional object), and every subscriber receives it synchronously, on the posting
// thread, before post() returns. Posts come from menu actions on the main thread.
class CommandCenter final : public QObject
{
    Q_OBJECT

public:
    // The product uses shared(); tests make their own.
    explicit CommandCenter(QObject *parent = nullptr);
    [[nodiscard]] static CommandCenter &shared();

    void post(const QString &name, const QVariant &object = {});

signals:
    void posted(const QString &name, const QVariant &object);
};

// Turns eight of the commands into calls of the window's closures; openHelpGuide is the
// window's own subscription. The closures run inside the post, on the main thread.
struct KeyboardShortcutsModifier
{
    std::function<void()> onFocusSearch;
    std::function<void()> onRefresh;
    std::function<void()> onSelectAll;
    std::function<void()> onClearSelection;
    std::function<void()> onOffloadSelected;
    std::function<void()> onRestoreSelected;
    std::function<void()> onSafeEject;
    // Called only when the post's object is a string.
    std::function<void(const QString &)> onNavigateSection;

    // Subscribes for as long as `context` lives.
    QMetaObject::Connection attach(CommandCenter &center, QObject *context) const;
    // Runs the closure that `name` calls for; other names do nothing.
    void deliver(const QString &name, const QVariant &object) const;
};
