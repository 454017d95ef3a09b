#pragma once

#include "model/AppItem.h"
#include "services/DuplicateCleanup.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QUrl>
#include <gtest/gtest.h>

// Local copies of offloaded applications, and the Trash they are moved to.
class TrashTest : public ::testing::Test
{
protected:
    // A local copy at `relative` (below the sandbox root) of an offloaded primary.
    DuplicateLocalInstance copyOf(const QString &relative, bool running = false,
                                  bool reachable = true)
    {
        const QString path = BundleBuilder(sandbox.path(relative)).build();
        AppItem local{QUrl::fromLocalFile(path), PathUtils::baseName(path)};
        local.isRunning = running;
        AppItem primary{QUrl::fromLocalFile(sandbox.applications() + "/Primary.app"), "Primary"};
        primary.isSymlink = primary.isAlias = true;
        primary.symlinkTarget = reachable ? driveCopy : sandbox.drive() + "/Gone.app";
        return {local, primary};
    }
    QStringList trashNames() const
    {
        return QDir(sandbox.paths().trash)
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }

    Sandbox sandbox;
    QString driveCopy = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    FakeAdminShell &adminShell = sandbox.system().fakeAdminShell();
};
