#pragma once

#include <QString>
#include <QStringList>

// The places the product works with. On a Mac these are the literal system locations; the
// Linux backend maps them onto this machine, and tests point them into a sandbox.
struct SystemPaths
{
    QString home;             // the user's home folder
    QString applications;     // "/Applications"
    QString userApplications; // home + "/Applications"
    QString volumesRoot;      // "/Volumes"
    QString userSupport;      // home + "/Library/Application Support"
    QString systemSupport;    // "/Library/Application Support"
    QString usersRoot;        // "/Users"
    QString trash;            // the user's Trash folder
    QString temp;             // a folder for temporary files

    // Both Application Support roots, the user's first.
    [[nodiscard]] QStringList supportRoots() const { return {userSupport, systemSupport}; }
    // The two folders the inventory scans, the system-wide one first.
    [[nodiscard]] QStringList applicationFolders() const
    {
        return {applications, userApplications};
    }
};
