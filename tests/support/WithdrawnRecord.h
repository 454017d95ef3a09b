#pragma once

#include "model/AppOffloadStatus.h"
#include "model/MigrationRecord.h"

#include <QList>
#include <QString>

class LedgerService;

// After a move was undone and its record withdrawn, with the drive that may still list it
// connected again: a rescan shows the application named `appName` as `status`, no restore takes
// the withdrawn record for true, and the scan's settling leaves the drive ledger at
// `driveLedgerPath` holding `before`, as the Mac's ledger does. GoogleTest expectations.
void expectWithdrawnAfterARescan(LedgerService &ledger, const QString &appName,
                                 const QString &driveLedgerPath,
                                 const QList<MigrationRecord> &before, AppOffloadStatus status);
