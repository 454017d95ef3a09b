#pragma once

#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "support/FakeSystem.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A temporary root laid out like a Mac, with a FakeSystem pointing into it installed for the
// sandbox's lifetime:
//   root/Applications, root/Users/tester (home) with Applications and
//   Library/Application Support, root/Library/Application Support, root/Volumes/<drive>.
class Sandbox
{
public:
    explicit Sandbox(const QString &driveName = QStringLiteral("Drive"));
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    [[nodiscard]] QString root() const;
    [[nodiscard]] const SystemPaths &paths() const { return m_paths; }
    [[nodiscard]] FakeSystem &system() { return *m_system; }
    [[nodiscard]] std::shared_ptr<FakeSystem> systemPointer() { return m_system; }

    [[nodiscard]] QString applications() const { return m_paths.applications; }
    [[nodiscard]] QString userApplications() const { return m_paths.userApplications; }
    [[nodiscard]] QString home() const { return m_paths.home; }
    [[nodiscard]] QString userSupport() const { return m_paths.userSupport; }
    [[nodiscard]] QString systemSupport() const { return m_paths.systemSupport; }
    [[nodiscard]] QString volumesRoot() const { return m_paths.volumesRoot; }
    // The drive made at construction.
    [[nodiscard]] QString drive() const { return m_drive; }
    // Another drive folder under the volumes root.
    QString addDrive(const QString &name);
    // Tells the fake volume service that `drive` is a mounted drive's root, so that the
    // engines' proof of their target finds it; taking it away is an unmount.
    void mountDrive(const QString &drive);
    // Mounts the drive made at construction and returns it as a roomy, writable target.
    TargetVolume mountedTarget();

    // A path below the root ("Applications/Foo.app" -> "<root>/Applications/Foo.app").
    [[nodiscard]] QString path(const QString &relative) const;
    // Writes a file (folders made as needed) and returns its path.
    static QString writeFile(const QString &path, const QByteArray &content, int mode = 0644);
    static QString makeFolder(const QString &path);
    static QString makeSymlink(const QString &linkPath, const QString &linkText);

private:
    QTemporaryDir m_dir;
    SystemPaths m_paths;
    QString m_drive;
    std::shared_ptr<FakeSystem> m_system;
    std::unique_ptr<ScopedSystemOverride> m_override;
};

// The records of the ledger file at `path` as the disk holds it; nothing when it does not read
// whole.
[[nodiscard]] std::optional<QList<MigrationRecord>> ledgerFileRecords(const QString &path);
