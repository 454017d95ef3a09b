#pragma once

#include "model/MigrationRecord.h"
#include "services/LedgerService.h"

#include <QList>
#include <QString>

struct TargetVolume;

// Whose copies stand at the places on a drive that a run is about to commit to, as the ledgers
// tell it when the run begins. A path is no owner: two Macs with the same user name share every
// path, and a drive ledger that cannot be read hides whose a copy is. So what stands at a place is
// replaced only when a record this home's own ledgers hold gives it to the same source, or when no
// ledger names it at all and every ledger could be read. Any thread; reads the ledgers' files.
class PlaceClaims
{
public:
    struct Copy
    {
        QString source;    // on the Mac
        QString finalPath; // on the drive
        bool isBundle = false;
    };

    // The ledgers of this home and those of the target's folder and of the drive holding it.
    PlaceClaims(const LedgerService &ledger, const TargetVolume &target);

    // 206 (the offload engine's domain) when one of `copies` may not take its place: two of them
    // share it, a record in force gives it to another source, or something stands there that is
    // not provably this Mac's to replace. Judged before anything is copied.
    void require(const QList<Copy> &copies) const;

    // This home's records in force that give `place` to the backup ("copied") of `source`: what an
    // offload of it to that place takes over.
    [[nodiscard]] QList<MigrationRecord> backupsAt(const QString &source,
                                                   const QString &place) const;

private:
    QString m_targetName;
    LedgerService::LedgersApart m_ledgers;
};
