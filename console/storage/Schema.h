#pragma once

#include "storage/Db.h"

#include <QString>

namespace kelcon {

inline const QString kEventDbFile = QStringLiteral("kelcon.fdb");
inline const QString kSettingsDbFile = QStringLiteral("kelcon.sdb");
inline const QString kDbPassword = QStringLiteral("quillbank");

// Lets the device register find a controller by (node, number, type) without a table scan.
inline const QString kSpiskelDeviceIndex = QStringLiteral("SPISKEL_DEVICE");

// The settings database could not be attached; start-up shows its message and ends.
class SettingsUnavailable : public DbError {
public:
    using DbError::DbError;
};

// Creates missing files and tables in `folder`, upgrades older event databases and leaves
// `eventDb` open. Returns 0 when done, 1 when the event database could not be attached (the
// settings database is then not touched). Throws SettingsUnavailable when the settings database
// cannot be attached, DbError for any other failure.
int openDatabases(const QString& folder, DbConnection& eventDb);

// The full path of a database file in the working folder.
QString databasePath(const QString& folder, const QString& file);

} // namespace kelcon
