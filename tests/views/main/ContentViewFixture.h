#pragma once

#include "../ContentModelFixture.h"
#include "support/Screenshot.h"
#include "views/main/CommandCenter.h"
#include "views/main/ContentView.h"
#include "views/main/MainWindow.h"

#include <QTest>

// A main window over the fixture's model in a sandbox, with the first-run reminders already
// acknowledged unless a test says otherwise.
class ContentViewFixture : public ContentModelFixture
{
protected:
    ContentViewFixture()
    {
        sandbox.system().fakePreferences().setValue(ContentModel::backupWarningKey(), true);
    }
    ~ContentViewFixture() override
    {
        // The fixture keeps the model past the window.
        model->setParent(nullptr);
        window.reset();
    }

    // Lists the sandbox drive under `name` as the only drive and makes it the target.
    void selectBackupDrive(const QString &name)
    {
        const TargetVolume backup{QUrl::fromLocalFile(sandbox.drive()),
                                  name,
                                  500'000'000'000,
                                  320'000'000'000,
                                  true,
                                  true,
                                  QStringLiteral("APFS"),
                                  true};
        model->volumeManager().applyRefreshedVolumes({backup});
        model->volumeManager().selectVolume(backup);
        settle();
    }

    // Shows the window (at its own first size when `size` is not valid) and waits for its
    // first scan.
    void open(const QSize &size = QSize(1200, 760))
    {
        window = std::make_unique<MainWindow>(model.get(), commands);
        if (size.isValid())
            window->resize(size);
        window->show();
        ASSERT_TRUE(waitUntil([this] { return scans >= 1 && !model->appScanner().isScanning(); }));
        settle();
    }

    // Delivers what is queued and applies it to the widgets at once.
    void settle()
    {
        drainEvents();
        view().refreshNow();
        drainEvents();
    }

    void rescan()
    {
        scan();
        settle();
    }

    [[nodiscard]] ContentView &view() const { return window->contentView(); }

    template<typename T>
    T *find(const QString &name) const
    {
        return window->findChild<T *>(name);
    }

    // A bundle on the drive and, in the Applications folder, `links` links to it.
    QString offloaded(const QString &name, const QStringList &links)
    {
        const QString target = BundleBuilder(sandbox.drive() + QStringLiteral("/Applications/") +
                                             name + QStringLiteral(".app"))
                                   .identifier(QStringLiteral("com.example.") + name)
                                   .build();
        for (const QString &link : links)
            sandbox.makeSymlink(
                sandbox.applications() + QLatin1Char('/') + link + QStringLiteral(".app"), target);
        return target;
    }

    // A local bundle with a backup copy of it on the drive.
    void copied(const QString &name)
    {
        bundle(name);
        BundleBuilder(sandbox.drive() + QStringLiteral("/Applications/") + name +
                      QStringLiteral(".app"))
            .identifier(QStringLiteral("com.example.") + name)
            .build();
    }

    [[nodiscard]] QString idOf(const QString &name) const
    {
        for (const AppItem &app : model->appScanner().apps()) {
            if (app.name == name)
                return app.id();
        }
        return {};
    }

    CommandCenter commands;
    std::unique_ptr<MainWindow> window;
};
