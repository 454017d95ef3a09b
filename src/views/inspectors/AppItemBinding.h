#pragma once

#include "model/AppItem.h"

#include <QObject>
#include <QPointer>
#include <QString>

class AppScanner;

// A two-way binding to one application: the detail pane reads the current item through it
// and writes back the two facts it may change. Main thread only.
class AppItemBinding : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The current item, read afresh on every call.
    [[nodiscard]] virtual AppItem value() const = 0;
    // Chooses whether the support folder at `folderPath` travels with the application.
    virtual void setSupportFolderSelected(const QString &folderPath, bool selected) = 0;
    virtual void setRunning(bool running) = 0;

signals:
    // The item changed (from either side); readers read value() again.
    void changed();
};

// The element of the scanner's inventory with the given path, so that writes reach the
// inventory. Once the path leaves the inventory the last value seen stays readable and
// writes are dropped.
class ScannerAppItemBinding final : public AppItemBinding
{
    Q_OBJECT
public:
    // `scanner` is not owned.
    ScannerAppItemBinding(AppScanner *scanner, QString appPath, QObject *parent = nullptr);

    [[nodiscard]] AppItem value() const override;
    void setSupportFolderSelected(const QString &folderPath, bool selected) override;
    void setRunning(bool running) override;

private:
    QPointer<AppScanner> m_scanner;
    QString m_appPath;
    mutable AppItem m_lastSeen;
};

// An item held by the binding itself, for a pane that shows a value outside any inventory.
class ValueAppItemBinding final : public AppItemBinding
{
    Q_OBJECT
public:
    explicit ValueAppItemBinding(AppItem item, QObject *parent = nullptr);

    [[nodiscard]] AppItem value() const override { return m_item; }
    void setSupportFolderSelected(const QString &folderPath, bool selected) override;
    void setRunning(bool running) override;
    void setValue(AppItem item);

private:
    AppItem m_item;
};
