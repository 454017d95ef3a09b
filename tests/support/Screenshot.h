#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLayout>
#include <QPixmap>
#include <QString>
#include <QWidget>

// Where the picture `name` goes: build/screenshots/<name>.png, its folder made. The folder
// sits beside the test executables' build tree (the working directory of ctest runs).
inline QString screenshotPath(const QString &name)
{
    QDir folder(QCoreApplication::applicationDirPath());
    // tests run from <build>/tests; keep every picture in <build>/screenshots.
    while (!folder.exists(QStringLiteral("CMakeCache.txt")) && folder.cdUp()) {
    }
    const QString dir = folder.absoluteFilePath(QStringLiteral("screenshots"));
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

// Saves what a widget shows as build/screenshots/<name>.png for review.
inline QString saveScreenshot(QWidget *widget, const QString &name)
{
    const QString path = screenshotPath(name);
    widget->ensurePolished();
    if (widget->layout())
        widget->layout()->activate();
    widget->grab().save(path);
    return path;
}
