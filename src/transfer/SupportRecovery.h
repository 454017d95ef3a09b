#pragma once

#include "model/MigrationRecord.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

class LedgerService;

// The support folders of an application that an offload moved aside on the Mac and that nothing
// put back: an offload cut short before its record (the program killed, the power gone) leaves
// each under its ".offload-rollback-" name beside its place (DriveLayout::offloadRollbackName),
// with nothing at the place and no record naming it, so a restore by the inventory never finds
// it. The restore of that application puts each back where nothing stands now, and says where
// one it could not put back is. Reads and renames on the Mac only; safe from any thread.
namespace SupportRecovery {

// One folder moved aside.
struct SetAside
{
    QString place; // where it stood, in an Application Support folder
    QString copy;  // what it is now called beside it
};

// The folders set aside of the application of `record`: those in either Application Support
// folder under a name the application goes by (its name, that name without spaces, its bundle
// identifier; case aside), except at a place a support folder of `record` names, which its
// restore looks after. In name order.
[[nodiscard]] QList<SetAside> find(const MigrationRecord &record);

// Puts back what find() gives for `record`, where nothing stands at its place now and it is the
// only copy set aside there. Returns, a sentence each, what it put back. One it could not put
// back is thrown (413), saying where it is and why, after what the restore noted (`notes`); its
// copy on the drive, where the offload left one below `targetVolumeURL` (or the drive of the
// record's copies), is then recorded in force in `ledger`, as a restore that brought the
// application alone back records what stayed on the drive, so that the history lists it and a
// retry brings it back.
QStringList putBack(LedgerService &ledger, const MigrationRecord &record,
                    const std::optional<QUrl> &targetVolumeURL, const QStringList &notes);

} // namespace SupportRecovery
