#include "views/inspectors/AppItemBinding.h"

#include "services/AppScanner.h"

ScannerAppItemBinding::ScannerAppItemBinding(AppScanner *scanner, QString appPath, QObject *parent)
    : AppItemBinding(parent)
    , m_scanner(scanner)
    , m_appPath(std::move(appPath))
{
    m_lastSeen.url = QUrl::fromLocalFile(m_appPath);
    if (scanner)
        connect(scanner, &AppScanner::appsChanged, this, &AppItemBinding::changed);
}

AppItem ScannerAppItemBinding::value() const
{
    if (m_scanner) {
        for (const AppItem &app : m_scanner->apps()) {
            if (app.id() == m_appPath) {
                m_lastSeen = app;
                break;
            }
        }
    }
    return m_lastSeen;
}

void ScannerAppItemBinding::setSupportFolderSelected(const QString &folderPath, bool selected)
{
    if (m_scanner)
        m_scanner->setSupportFolderSelected(m_appPath, folderPath, selected);
}

void ScannerAppItemBinding::setRunning(bool running)
{
    if (m_scanner)
        m_scanner->setAppRunning(m_appPath, running);
}

ValueAppItemBinding::ValueAppItemBinding(AppItem item, QObject *parent)
    : AppItemBinding(parent)
    , m_item(std::move(item))
{}

void ValueAppItemBinding::setSupportFolderSelected(const QString &folderPath, bool selected)
{
    for (SupportFolder &folder : m_item.supportFolders) {
        if (folder.id() == folderPath)
            folder.isSelected = selected;
    }
    emit changed();
}

void ValueAppItemBinding::setRunning(bool running)
{
    m_item.isRunning = running;
    emit changed();
}

void ValueAppItemBinding::setValue(AppItem item)
{
    m_item = std::move(item);
    emit changed();
}
