#pragma once

#include "QStringPrinter.h"
#include "base/OperationError.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Wait.h"
#include "views/main/ContentModel.h"
#include "volumes/VolumeManager.h"

#include <QPromise>
#include <gtest/gtest.h>
#include <memory>

inline QStringList namesOf(const QList<AppItem> &apps)
{
    QStringList names;
    for (const AppItem &app : apps)
        names.append(app.name);
    return names;
}

inline QFuture<void> failedFuture(int code, const QString &message)
{
    QPromise<void> promise;
    promise.start();
    promise.setException(OperationError(QStringLiteral("OffloadEngine"), code, message));
    promise.finish();
    return promise.future();
}

// Pauses that end only when the test says so.
class ManualDelay
{
public:
    std::function<QFuture<void>(std::chrono::milliseconds)> function()
    {
        return [this](std::chrono::milliseconds) {
            auto promise = std::make_shared<QPromise<void>>();
            promise->start();
            m_pending.append(promise);
            return promise->future();
        };
    }
    [[nodiscard]] qsizetype started() const { return m_pending.size(); }
    void elapse(qsizetype index) { m_pending[index]->finish(); }

private:
    QList<std::shared_ptr<QPromise<void>>> m_pending;
};

// A window model in a sandbox, with pauses that never end unless the test ends them, and a
// count of the inventory scans it ran.
class ContentModelFixture : public ::testing::Test
{
protected:
    ContentModelFixture()
    {
        // Let the drive manager publish its first (empty) list before the test sets a target.
        drainEvents();
        TransferOperations operations;
        operations.delay = delay.function();
        model->setTransferOperations(operations);
        QObject::connect(&model->appScanner(), &AppScanner::isScanningChanged, model.get(), [this] {
            if (model->appScanner().isScanning())
                ++scans;
        });
    }

    ~ContentModelFixture() override
    {
        // No task of this test may hold a transfer lease into the next one.
        EXPECT_TRUE(waitUntil([] { return !TransferRegistry::shared().isBusy(); }));
        EXPECT_TRUE(waitUntil([this] { return !model->appScanner().isScanning(); }));
    }

    // A real bundle in `folder` (the system Applications folder by default).
    QString bundle(const QString &name, const QString &folder = {})
    {
        const QString base = folder.isEmpty() ? sandbox.applications() : folder;
        return BundleBuilder(base + QLatin1Char('/') + name + QStringLiteral(".app"))
            .identifier(QStringLiteral("com.example.") + name)
            .build();
    }

    // A record of an application that need not exist on disk.
    AppItem record(const QString &name, bool offloaded = false)
    {
        AppItem item;
        item.url = QUrl::fromLocalFile(sandbox.applications() + QLatin1Char('/') + name + ".app");
        item.name = name;
        item.size = 10;
        item.isSymlink = offloaded;
        item.isAlias = offloaded;
        return item;
    }

    void scan()
    {
        ASSERT_TRUE(waitFor(model->appScanner().scanAsync()));
        drainEvents();
    }

    TargetVolume drive(const QString &name = QStringLiteral("Backup"))
    {
        return TargetVolume{QUrl::fromLocalFile(sandbox.drive()),
                            name,
                            1'000'000,
                            500'000,
                            true,
                            true,
                            QStringLiteral("APFS"),
                            true};
    }

    void selectDrive() { model->volumeManager().setSelectedVolume(drive()); }

    void expectNotice(const QString &message)
    {
        EXPECT_TRUE(model->showAlert());
        EXPECT_EQ(model->alertMessage(), message);
    }

    Sandbox sandbox;
    LedgerService ledger;
    std::unique_ptr<ContentModel> model = std::make_unique<ContentModel>(ledger);
    ManualDelay delay;
    int scans = 0;
};
