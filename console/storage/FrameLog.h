#pragma once

#include "can/CanFrame.h"
#include "storage/Db.h"

#include <QDate>
#include <QDateTime>
#include <QSet>
#include <QString>

namespace kelcon {

// "CAN_" + month (two digits) + year: CAN_0321, CAN_1130; years up to 2000 in full (CAN_031999),
// years 2001-2009 with one digit (CAN_035).
QString frameLogTableName(const QDate& date);

// The monthly frame log of the event database. Which tables exist is read from the catalogue
// once and then remembered, so storing a frame never asks the catalogue.
class FrameLog {
public:
    explicit FrameLog(DbConnection& db) : db_(db) {}

    // The table for this receive time, created (and committed) when it is missing.
    QString tableFor(const QDateTime& receiveTime);
    void append(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node);

    // Forget what is known about the tables (another file was attached).
    void reset();

private:
    DbConnection& db_;
    QSet<QString> tables_;
    bool known_ = false;
    QString insertTable_;
    QString insertSql_;
};

} // namespace kelcon
