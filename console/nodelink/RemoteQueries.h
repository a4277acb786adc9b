#pragma once

#include "can/CanFrame.h"
#include "nodelink/Records.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace kelcon {

class DbConnection;

// The list and trend data of a console, built from SPISKEL and the frame log. A list window of
// this console and a remote console asking over the node link get the same bytes: every builder
// returns the whole reply message (code, length word, records). Database failures are thrown as
// DbError; nothing is returned for a builder that failed.

QByteArray BuildPointList(DbConnection& db);
QByteArray BuildZoneList(DbConnection& db);
QByteArray BuildZoneSummary(DbConnection& db, std::uint8_t nomZdan, std::uint8_t nomEtaz, UzelIdent node);
// Devices silent longer than their type's threshold (minutes) at `now`.
QByteArray BuildInactiveList(DbConnection& db, const QDateTime& now, int neact02, int neact06);
QByteArray BuildTempTrend(DbConnection& db, double begin, double end, std::uint32_t ident,
                          std::uint8_t selector, UzelIdent node);
QByteArray BuildOutsideTrend(DbConnection& db, double begin, double end, std::uint32_t ident, UzelIdent node);
// The sensor frames logged for "SDP" readings, whatever identifier the request carried.
QByteArray BuildSensorTrend(DbConnection& db, double begin, double end, std::int32_t selector,
                            UzelIdent node);

// The inactive-device query: type-6 devices against `neact06`, all others against `neact02`
// (both are "last heard before"). Type-6 devices of one building and node heard at the same
// moment come as one row under their lowest device number.
std::vector<TablNoActUstr> InactiveDevices(DbConnection& db, const QDateTime& neact02,
                                           const QDateTime& neact06);

// The frame log tables a period touches, joined with " UNION ALL ", each part followed by
// `condition`; CAN_INFR (frames from before the monthly tables) only when the table of the
// first month is missing. Empty when no table exists.
QString LogUnionQuery(DbConnection& db, const QDate& begin, const QDate& end, const QString& condition);

// A trend request a server answers with a query: both ends finite dates between 1900 and 2200
// and at most ten years apart. Anything else gets an empty reply without touching the log,
// since every month of the period means one more table in the union.
bool isServableTrendPeriod(double begin, double end);

// "QSA": the alarm log file converted from our UTF-8 to Windows-1251, or the "no alarms" text
// when there is no such file.
QByteArray BuildAlarmLogReply(const QString& errorLogFile);

} // namespace kelcon
