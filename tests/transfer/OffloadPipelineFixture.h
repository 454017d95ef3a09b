#pragma once

// Shared by the offload pipeline tests: a Mac in a sandbox with one application and its
// support folders, the engine with a ledger of its own and a seam that can fail any change,
// and the checks that prove nothing was lost.

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "base/Uuid.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Errors.h"
#include "support/FileHolder.h"
#include "support/Sandbox.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "transfer/OffloadEngine.h"
#include "transfer/OffloadFileOps.h"

#include <QDir>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>

enum class Operation { offload, copyOnly, updateBackup, reoffload };

// Counts every change the engine makes and fails the chosen one: once, or from then on, as
// after a power loss. A failed call changes nothing. Also fails every call a predicate picks.
class FailingFileOps : public OffloadFileOps
{
public:
    void failFrom(int call, bool powerLoss)
    {
        const std::lock_guard lock(m_mutex);
        m_failAt = call;
        m_powerLoss = powerLoss;
    }
    void failWhere(std::function<bool(const QString &call)> picks)
    {
        const std::lock_guard lock(m_mutex);
        m_picks = std::move(picks);
    }
    [[nodiscard]] QStringList log() const
    {
        const std::lock_guard lock(m_mutex);
        return m_log;
    }
    // Runs `then` after each record is written, as when the drive fails right afterwards.
    void afterRecording(std::function<void()> then)
    {
        const std::lock_guard lock(m_mutex);
        m_afterRecording = std::move(then);
    }
    // Moved-aside originals deleted before the ledger knew where their copies are.
    [[nodiscard]] QStringList earlyDeletions() const
    {
        const std::lock_guard lock(m_mutex);
        return m_earlyDeletions;
    }

    void makeFolder(const QString &path, const TargetVolume &target) override
    {
        gate(QStringLiteral("makeFolder ") + path);
        OffloadFileOps::makeFolder(path, target);
    }
    void removePlain(const QString &path) override
    {
        if (pass(QStringLiteral("removePlain ") + path))
            OffloadFileOps::removePlain(path);
    }
    void copy(OffloadEngine &engine, const QString &source, const QString &destination) override
    {
        gate(QStringLiteral("copy ") + source + QStringLiteral(" -> ") + destination);
        OffloadFileOps::copy(engine, source, destination);
    }
    void move(const QString &source, const QString &destination) override
    {
        gate(QStringLiteral("move ") + source + QStringLiteral(" -> ") + destination);
        OffloadFileOps::move(source, destination);
    }
    void remove(const QString &path) override
    {
        gate(QStringLiteral("remove ") + path);
        {
            const std::lock_guard lock(m_mutex);
            if ((path.contains(QStringLiteral(".offload-rollback-")) ||
                 path.contains(QStringLiteral(".offloaded-"))) &&
                !m_recorded)
                m_earlyDeletions.append(path);
        }
        OffloadFileOps::remove(path);
    }
    void removeLink(const QString &path) override
    {
        gate(QStringLiteral("removeLink ") + path);
        OffloadFileOps::removeLink(path);
    }
    void createSymbolicLink(const QString &linkPath, const QString &target) override
    {
        gate(QStringLiteral("createSymbolicLink ") + linkPath);
        OffloadFileOps::createSymbolicLink(linkPath, target);
    }
    void createProxy(const AppItem &app, const QUrl &driveBundle) override
    {
        gate(QStringLiteral("createProxy ") + app.url.toLocalFile());
        OffloadFileOps::createProxy(app, driveBundle);
    }
    void createFinderAlias(const QString &targetPath, const QString &aliasPath) override
    {
        gate(QStringLiteral("createFinderAlias ") + aliasPath);
        OffloadFileOps::createFinderAlias(targetPath, aliasPath);
    }
    std::optional<QString> recordMigration(LedgerService &ledger, const MigrationRecord &record,
                                           const QUrl &targetVolumeURL) override
    {
        gate(QStringLiteral("recordMigration ") + record.status);
        std::optional<QString> driveProblem =
            OffloadFileOps::recordMigration(ledger, record, targetVolumeURL);
        std::function<void()> then;
        {
            const std::lock_guard lock(m_mutex);
            m_recorded = true;
            then = m_afterRecording;
        }
        if (then)
            then();
        return driveProblem;
    }

private:
    bool pass(const QString &call)
    {
        const std::lock_guard lock(m_mutex);
        m_log.append(call);
        const int number = m_log.size();
        if (m_picks && m_picks(call))
            return false;
        return m_failAt == 0 || (number != m_failAt && (!m_powerLoss || number < m_failAt));
    }
    void gate(const QString &call)
    {
        if (!pass(call))
            throw OperationError::fileSystem(EIO, QStringLiteral("Injected failure: ") + call);
    }

    mutable std::mutex m_mutex;
    int m_failAt = 0;
    bool m_powerLoss = false;
    std::function<bool(const QString &)> m_picks;
    QStringList m_log;
    bool m_recorded = false;
    std::function<void()> m_afterRecording;
    QStringList m_earlyDeletions;
};

// One application "Foo" in /Applications with up to two support folders, set up as the
// operation expects to find it: for a backup update an older backup on the drive with its
// "copied" record; for a re-offload an older offloaded copy with its "active" record and the
// support folder already linked to its drive copy.
class PipelineScenario
{
public:
    struct Original
    {
        QString path;
        TreeDigest digest;
    };

    Sandbox sandbox;
    LedgerService ledger;
    OffloadEngine engine{ledger};
    std::shared_ptr<FailingFileOps> ops = std::make_shared<FailingFileOps>();
    Operation operation;
    AppItem app;
    TargetVolume target;
    QString finalBundle;
    QList<Original> originals; // what must never be lost
    TreeDigest olderDriveCopy; // backup update and re-offload: the copy at finalBundle before
    QList<OffloadProgress> published;
    QString errorMessage;
    // Runs once the operation has ended, before anything is judged: what a test started beside
    // it stops there.
    std::function<void()> whenFinished;
    // A process that uses a file of the application as the test had it; {holder} in a message
    // stands for its PID.
    std::shared_ptr<FileHolder> holder;

    // `overItsBackup`: an offload or backup copy whose bundle place holds this source's own
    // older backup, with its "copied" record.
    PipelineScenario(Operation op, int supportFolders, bool overItsBackup = false)
        : operation(op)
    {
        engine.setSleeper([](std::chrono::nanoseconds) {});
        engine.setFileOps(ops);
        QObject::connect(&engine, &OffloadEngine::progressChanged, &engine,
                         [this] { published.append(engine.progress()); });
        target = sandbox.mountedTarget();
        const QString appPath = sandbox.applications() + QStringLiteral("/Foo.app");
        finalBundle = sandbox.drive() + QStringLiteral("/Applications/Foo.app");
        buildBundle(appPath, QStringLiteral("2.0"));
        app = {.url = QUrl::fromLocalFile(appPath),
               .name = QStringLiteral("Foo"),
               .bundleIdentifier = QStringLiteral("com.acme.foo"),
               .version = QStringLiteral("2.0"),
               .size = 4096};
        originals.append({appPath, digestTree(appPath)});
        const QStringList folders = {sandbox.userSupport() + QStringLiteral("/Foo"),
                                     sandbox.systemSupport() + QStringLiteral("/com.acme.foo")};
        for (int i = 0; i < supportFolders; ++i)
            addSupportFolder(folders.at(i));
        if (op == Operation::updateBackup || overItsBackup)
            prepareOlderCopy(MigrationStatus::copied());
        if (op == Operation::reoffload)
            prepareOlderCopy(MigrationStatus::active());
        ledger.loadRecords();
        macBefore = macDigest();
    }

    QFuture<void> start()
    {
        switch (operation) {
        case Operation::offload:
        case Operation::copyOnly:
            return engine.executeOffload(app, target, operation == Operation::copyOnly);
        case Operation::updateBackup:
            return engine.updateBackup(app, target);
        case Operation::reoffload:
            return engine.reoffloadAppBundle(app, target);
        }
        return {};
    }
    // The code the operation ended with, 0 for success.
    int finish(QFuture<void> future)
    {
        const std::optional<OperationError> error = errorOfFuture(future);
        ledger.loadRecords();
        if (error)
            errorMessage = error->message();
        if (whenFinished)
            whenFinished();
        return error ? error->code() : 0;
    }
    int run() { return finish(start()); }

    // Everything on the Mac that an operation may change, by folder.
    [[nodiscard]] QMap<QString, TreeDigest> macDigest() const
    {
        QMap<QString, TreeDigest> digests;
        for (const QString &folder : {sandbox.applications(), sandbox.userApplications(),
                                      sandbox.userSupport(), sandbox.systemSupport()})
            digests.insert(folder, digestTree(folder));
        return digests;
    }
    [[nodiscard]] bool macUnchanged() const { return macDigest() == macBefore; }

    // The record this run wrote, if any.
    [[nodiscard]] std::optional<MigrationRecord> newRecord() const
    {
        for (const MigrationRecord &record : ledger.records()) {
            if (record.timestamp != QStringLiteral("2024-01-01T00:00:00Z"))
                return record;
        }
        return std::nullopt;
    }

    QMap<QString, TreeDigest> macBefore;

    void addSupportFolder(const QString &path)
    {
        sandbox.writeFile(path + QStringLiteral("/prefs.plist"), "<plist/>");
        sandbox.writeFile(path + QStringLiteral("/Cache/blob"), QByteArray(3000, 'x'), 0600);
        SupportFolder folder{.url = QUrl::fromLocalFile(path),
                             .displayName = PathUtils::lastComponent(path),
                             .size = 3008,
                             .isSelected = true};
        app.supportFolders.append(folder);
        originals.append({path, digestTree(path)});
        macBefore = macDigest();
    }

private:
    void buildBundle(const QString &path, const QString &version) const
    {
        BundleBuilder(path)
            .identifier(QStringLiteral("com.acme.foo"))
            .version(version)
            .file(QStringLiteral("Resources/data-") + version, version.toUtf8().repeated(100))
            .file(QStringLiteral("Resources/tool"), "#!/bin/sh\n", 0755)
            .symlink(QStringLiteral("Resources/current"), QStringLiteral("data-") + version)
            .framework(QStringLiteral("Kit"))
            .build();
    }

    void prepareOlderCopy(const QString &status)
    {
        buildBundle(finalBundle, QStringLiteral("1.0"));
        olderDriveCopy = digestTree(finalBundle);
        QList<SupportFolderRecord> folders;
        if (status == MigrationStatus::active()) {
            // The first offload linked the folders; the updater replaced only the bundle.
            QList<Original> kept = {originals.first()};
            for (SupportFolder &folder : app.supportFolders) {
                const QString local = folder.url.toLocalFile();
                const QString copy = sandbox.drive() + QStringLiteral("/Application Support/") +
                                     PathUtils::lastComponent(local);
                QDir().mkpath(PathUtils::parentPath(copy));
                QDir().rename(local, copy);
                sandbox.makeSymlink(local, copy);
                folder.isSymlink = folder.isAlias = true;
                folder.symlinkTarget = copy;
                folders.append({local, copy, folder.displayName, true});
            }
            originals = kept;
        }
        ledger.recordMigration(
            MigrationRecord(QStringLiteral("2024-01-01T00:00:00Z"), app.name, app.bundleIdentifier,
                            QStringLiteral("1.0"), app.url.toLocalFile(), finalBundle,
                            status == MigrationStatus::active(), status, folders),
            target.url);
    }
};

// Moved-aside names of `path` beside it: "." + name + ".offload-rollback-" + UUID.
inline QStringList movedAsideSiblings(const QString &path)
{
    const QString prefix =
        QLatin1Char('.') + PathUtils::lastComponent(path) + QStringLiteral(".offload-rollback-");
    QStringList found;
    const QDir folder(PathUtils::parentPath(path));
    for (const QString &name :
         folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (name.startsWith(prefix) && isUuidText(name.mid(prefix.size())))
            found.append(folder.filePath(name));
    }
    return found;
}

// The place holds a link, alias or proxy that opens `driveCopy`.
inline bool standsFor(const QString &place, const QString &driveCopy)
{
    if (const std::optional<QString> text = PathUtils::linkText(place))
        return *text == driveCopy;
    const auto info = PlistFile::readDictionary(place + QStringLiteral("/Contents/Info.plist"));
    return info && info->value(QStringLiteral("TargetAppPath")).toString() == driveCopy;
}

// Where an "active" record says the original's copy lies.
inline QStringList recordedDriveCopies(const QList<MigrationRecord> &records,
                                       const QString &original)
{
    QStringList copies;
    for (const MigrationRecord &record : records) {
        if (record.status != MigrationStatus::active())
            continue;
        if (record.appOriginalPath == original && record.appTargetPath)
            copies.append(*record.appTargetPath);
        for (const SupportFolderRecord &folder : record.supportFolders) {
            if (folder.source == original)
                copies.append(folder.target);
        }
    }
    return copies;
}

// Every original's content is whole at its place, under its moved-aside name beside it, or on
// the drive where an "active" record and the stand-in at its place both point. Nothing of it
// lies anywhere else on the Mac, and whatever went aside was deleted only after the record.
inline void expectNothingLost(const PipelineScenario &scenario)
{
    const QList<MigrationRecord> records = scenario.ledger.records();
    for (const PipelineScenario::Original &original : scenario.originals) {
        SCOPED_TRACE(original.path.toStdString());
        const bool inPlace = digestTree(original.path) == original.digest;
        bool aside = false;
        for (const QString &sibling : movedAsideSiblings(original.path)) {
            const TreeDigest digest = digestTree(sibling);
            EXPECT_EQ(digest, original.digest)
                << "a moved-aside item differs from its original: " << sibling.toStdString() << "\n"
                << describeDifference(original.digest, digest).toStdString();
            aside = aside || digest == original.digest;
        }
        bool onDrive = false;
        for (const QString &copy : recordedDriveCopies(records, original.path))
            onDrive =
                onDrive || (digestTree(copy) == original.digest && standsFor(original.path, copy));
        EXPECT_TRUE(inPlace || aside || onDrive) << "lost";
    }
    EXPECT_EQ(scenario.ops->earlyDeletions(), QStringList());
}

// What a successful run must have left: the Mac alone for a copy, otherwise stand-ins that
// open verified drive copies named by an "active" record.
inline void expectSucceeded(const PipelineScenario &scenario)
{
    const bool movesApp =
        scenario.operation == Operation::offload || scenario.operation == Operation::reoffload;
    if (!movesApp) {
        EXPECT_TRUE(scenario.macUnchanged());
        return;
    }
    const QList<MigrationRecord> records = scenario.ledger.records();
    for (const PipelineScenario::Original &original : scenario.originals) {
        SCOPED_TRACE(original.path.toStdString());
        const QStringList copies = recordedDriveCopies(records, original.path);
        ASSERT_FALSE(copies.isEmpty());
        EXPECT_TRUE(standsFor(original.path, copies.first()));
        EXPECT_EQ(digestTree(copies.first()), original.digest);
    }
}
