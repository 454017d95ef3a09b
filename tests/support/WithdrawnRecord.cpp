#include "support/WithdrawnRecord.h"

#include "base/OperationError.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/Sandbox.h"
#include "support/Wait.h"
#include "transfer/RestoreLookup.h"

#include <algorithm>
#include <gtest/gtest.h>

void expectWithdrawnAfterARescan(LedgerService &ledger, const QString &appName,
                                 const QString &driveLedgerPath,
                                 const QList<MigrationRecord> &before, AppOffloadStatus status)
{
    AppScanner scanner(ledger);
    ASSERT_TRUE(waitFor(scanner.scanAsync()));
    const auto app = std::find_if(scanner.apps().cbegin(), scanner.apps().cend(),
                                  [&](const AppItem &item) { return item.name == appName; });
    ASSERT_NE(app, scanner.apps().cend());
    EXPECT_EQ(app->status(), status);
    try {
        EXPECT_TRUE(before.contains(RestoreLookup::recordFor(*app, ledger.records())));
    } catch (const OperationError &refusal) {
        EXPECT_EQ(refusal.code(), 400) << refusal.message().toStdString();
    }
    EXPECT_EQ(ledgerFileRecords(driveLedgerPath), before);
}
