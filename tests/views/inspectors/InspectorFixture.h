#pragma once

#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QAbstractButton>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

// Applications on disk in a sandbox, as the inventory would describe them.
class InspectorFixture : public ::testing::Test
{
protected:
    // A bundle below the sandbox root ("Applications/Tools/Editor.app").
    AppItem bundle(const QString &relative, qint64 size = 48'000'000)
    {
        const QString path = BundleBuilder(sandbox.path(relative))
                                 .identifier(QStringLiteral("com.acme.editor"))
                                 .version(QStringLiteral("2.4"))
                                 .build();
        return AppItem{.url = QUrl::fromLocalFile(path),
                       .name = PathUtils::baseName(path),
                       .bundleIdentifier = QStringLiteral("com.acme.editor"),
                       .version = QStringLiteral("2.4"),
                       .size = size};
    }

    // A link in /Applications to the bundle on the drive, which is left out when `onDrive`
    // is false, so that the link dangles.
    AppItem linked(const QString &name, bool onDrive = true, qint64 size = 250'000'000)
    {
        const QString file = name + QStringLiteral(".app");
        const QString target = sandbox.drive() + QStringLiteral("/Applications/") + file;
        if (onDrive)
            BundleBuilder(target).build();
        const QString link = sandbox.makeSymlink(sandbox.applications() + '/' + file, target);
        AppItem app{.url = QUrl::fromLocalFile(link), .name = name, .size = size};
        app.isSymlink = app.isAlias = true;
        app.symlinkTarget = target;
        return app;
    }

    // A launcher bundle in /Applications whose application lies on the drive.
    AppItem proxy(const QString &name, qint64 size = 40'000)
    {
        const QString file = name + QStringLiteral(".app");
        AppItem app = bundle(QStringLiteral("Applications/") + file, size);
        const QString onDrive = sandbox.drive() + QStringLiteral("/Applications/") + file;
        BundleBuilder(onDrive).build();
        writeInfoPlist(app.id(), {{QStringLiteral("IsKorvanthelixProxy"), QVariant(true)},
                                  {QStringLiteral("TargetAppPath"), QVariant(onDrive)}});
        app.symlinkTarget = onDrive;
        return app;
    }

    SupportFolder folder(const QString &name, qint64 size, bool selected = false)
    {
        return SupportFolder{.url = QUrl::fromLocalFile(sandbox.userSupport() + '/' + name),
                             .displayName = name,
                             .size = size,
                             .isSelected = selected};
    }

    TargetVolume drive(qint64 freeBytes = 750'000'000'000)
    {
        return TargetVolume{QUrl::fromLocalFile(sandbox.drive()),
                            QStringLiteral("Drive"),
                            2'000'000'000'000,
                            freeBytes,
                            true,
                            true,
                            QStringLiteral("APFS"),
                            true};
    }

    template<typename T = QWidget>
    T *child(QWidget &view, const QString &name, int index = 0)
    {
        const QList<T *> found = view.findChildren<T *>(name);
        EXPECT_GT(found.size(), index) << name.toStdString();
        return found.size() > index ? found.at(index) : nullptr;
    }
    bool shown(QWidget &view, const QString &name)
    {
        QWidget *widget = child(view, name);
        return widget && widget->isVisibleTo(&view);
    }
    void click(QWidget &view, const QString &name, int index = 0)
    {
        if (auto *button = child<QAbstractButton>(view, name, index))
            QTest::mouseClick(button, Qt::LeftButton);
    }

    Sandbox sandbox;
    QStringList log;
};
