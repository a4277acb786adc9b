#include "storage/FrameLog.h"

namespace kelcon {

QString frameLogTableName(const QDate& date) {
    const int year = date.year();
    return QStringLiteral("CAN_%1%2")
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(year > 2000 ? year - 2000 : year);
}

void FrameLog::reset() {
    tables_.clear();
    known_ = false;
    insertTable_.clear();
}

QString FrameLog::tableFor(const QDateTime& receiveTime) {
    const QString name = frameLogTableName(receiveTime.date());
    if (!known_) {
        const QStringList tables = db_.userTables();
        tables_ = QSet<QString>(tables.begin(), tables.end());
        known_ = true;
    }
    if (tables_.contains(name))
        return name;
    // Frames stored so far are committed first, so a failing CREATE can be rolled back alone.
    db_.commit();
    try {
        db_.execute(QStringLiteral("CREATE TABLE ") + name +
                    QStringLiteral(" (DATEINF TIMESTAMP,"
                                   "IDENTCAN INTEGER,"
                                   "UZELIDENT INTEGER DEFAULT 0,"
                                   "LENGDATA SMALLINT,"
                                   "DATACAN12 SMALLINT,"
                                   "DATACAN34 SMALLINT,"
                                   "DATACAN56 SMALLINT,"
                                   "DATACAN78 SMALLINT )"));
        db_.commit();
    } catch (const DbError&) {
        // What we remember may be stale (the file was replaced under a reopened connection).
        db_.rollback();
        if (!db_.tableExists(name))
            throw;
    }
    tables_.insert(name);
    return name;
}

void FrameLog::append(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node) {
    const QString table = tableFor(receiveTime);
    if (table != insertTable_) {
        // The identifier word and the node go in as parameters, not as literals in the text, so
        // that all frames of a month share one prepared statement.
        insertSql_ =
            QStringLiteral("insert into ") + table +
            QStringLiteral(" (DateInf,IdentCAN,UzelIdent,LengData,DataCAN12,DataCAN34,DataCAN56,DataCAN78)\n"
                           "values (:DateTime,:IdentCAN,:UzelIdent,:CANLeng,:CANData12,:CANData34,"
                           ":CANData56,:CANData78)");
        insertTable_ = table;
    }
    db_.execute(insertSql_, {{QStringLiteral("DateTime"), receiveTime},
                             {QStringLiteral("IdentCAN"), int(std::int32_t(frame.ident))},
                             {QStringLiteral("UzelIdent"), int(node)},
                             {QStringLiteral("CANLeng"), int(frame.len)},
                             {QStringLiteral("CANData12"), int(logColumn(frame, 0))},
                             {QStringLiteral("CANData34"), int(logColumn(frame, 1))},
                             {QStringLiteral("CANData56"), int(logColumn(frame, 2))},
                             {QStringLiteral("CANData78"), int(logColumn(frame, 3))}});
}

} // namespace kelcon
