#include "views/main/CommandCenter.h"

namespace {

void call(const std::function<void()> &closure)
{
    if (closure)
        closure();
}

} // namespace

QStringList CommandNames::all()
{
    return {openHelpGuide,         focusSearch,       refreshApps,
            selectAllFilteredApps, clearAppSelection, offloadSelectedApps,
            restoreSelectedApps,   safeEjectTarget,   navigateSection};
}

CommandCenter::CommandCenter(QObject *parent)
    : QObject(parent)
{}

CommandCenter &CommandCenter::shared()
{
    static CommandCenter instance;
    return instance;
}

void CommandCenter::post(const QString &name, const QVariant &object)
{
    emit posted(name, object);
}

QMetaObject::Connection KeyboardShortcutsModifier::attach(CommandCenter &center,
                                                          QObject *context) const
{
    return QObject::connect(&center, &CommandCenter::posted, context,
                            [modifier = *this](const QString &name, const QVariant &object) {
                                modifier.deliver(name, object);
                            });
}

void KeyboardShortcutsModifier::deliver(const QString &name, const QVariant &object) const
{
    if (name == CommandNames::focusSearch)
        call(onFocusSearch);
    else if (name == CommandNames::refreshApps)
        call(onRefresh);
    else if (name == CommandNames::selectAllFilteredApps)
        call(onSelectAll);
    else if (name == CommandNames::clearAppSelection)
        call(onClearSelection);
    else if (name == CommandNames::offloadSelectedApps)
        call(onOffloadSelected);
    else if (name == CommandNames::restoreSelectedApps)
        call(onRestoreSelected);
    else if (name == CommandNames::safeEjectTarget)
        call(onSafeEject);
    else if (name == CommandNames::navigateSection && object.typeId() == QMetaType::QString &&
             onNavigateSection)
        onNavigateSection(object.toString());
}
