#include "nodelink/RemoteQueries.h"

#include "core/Cp1251.h"
#include "core/DateTime.h"
#include "nodelink/Messages.h"
#include "storage/Db.h"
#include "storage/FrameLog.h"

#include <QFile>

#include <cmath>

namespace kelcon {

namespace {

template <std::size_t N> void setText(char (&field)[N], const DbRow& row, const QString& column) {
    setTextField(field, toCp1251(row.toString(column)));
}

std::uint8_t lowByte(const DbRow& row, const QString& column) {
    return std::uint8_t(row.value(column).toInt64() & 0xFF);
}

// The log columns hold two data bytes as a signed 16-bit value, the first byte high.
std::uint8_t highOf(const DbRow& row, const QString& column) {
    return std::uint8_t((row.value(column).toInt64() >> 8) & 0xFF);
}

double dateOf(const DbRow& row) {
    return toDayCount(row.toDateTime(QStringLiteral("DATEINF")));
}

template <WireRecord T> QByteArray recordReply(Code code, const std::vector<T>& records) {
    return buildRecordReply<T>(code, std::span<const T>(records));
}

const QString kLogSelect =
    QStringLiteral("SELECT DATEINF, IDENTCAN, LENGDATA, DATACAN12, DATACAN34, DATACAN56, DATACAN78 FROM ");

// Rows of the log tables for one identifier of one node within the period, in union order.
void forEachLogRow(DbConnection& db, double begin, double end, std::uint32_t ident, UzelIdent node,
                   const std::function<void(const DbRow&)>& each) {
    const QDateTime from = fromDayCount(begin);
    const QDateTime to = fromDayCount(end);
    const QString condition =
        QStringLiteral("where DateInf > :BegDate and DateInf < :EndDate and IdentCAN = ") +
        QString::number(std::int32_t(ident)) + QStringLiteral(" and UzelIdent=:UzelID");
    const QString sql = LogUnionQuery(db, from.date(), to.date(), condition);
    if (sql.isEmpty())
        return;
    db.forEach(sql,
               {{QStringLiteral("BegDate"), from},
                {QStringLiteral("EndDate"), to},
                {QStringLiteral("UzelID"), node}},
               [&](const DbRow& row) {
                   each(row);
                   return true;
               });
}

} // namespace

bool isServableTrendPeriod(double begin, double end) {
    const QDateTime lowest(QDate(1900, 1, 1), QTime(0, 0));
    const QDateTime highest(QDate(2200, 1, 1), QTime(0, 0));
    if (!std::isfinite(begin) || !std::isfinite(end))
        return false;
    const QDateTime from = fromDayCount(begin);
    const QDateTime to = fromDayCount(end);
    for (const QDateTime& t : {from, to}) {
        if (!t.isValid() || t < lowest || t > highest)
            return false;
    }
    return to <= from.addYears(10);
}

QString LogUnionQuery(DbConnection& db, const QDate& begin, const QDate& end, const QString& condition) {
    const QStringList tables = db.userTables();
    QString query;
    if (tables.contains(QStringLiteral("CAN_INFR")))
        query = kLogSelect + QStringLiteral("CAN_INFR ") + condition;

    const int endMonth = end.month();
    const int endYear = end.year();
    int m = begin.month();
    int y = begin.year();
    bool first = true;
    for (;;) {
        const QString name = frameLogTableName(QDate(y, m, 1));
        if (tables.contains(name)) {
            if (first)
                query.clear();
            if (!query.isEmpty())
                query += QStringLiteral(" UNION ALL ");
            query += kLogSelect + name + QLatin1Char(' ') + condition;
        }
        first = false;
        if ((y == endYear && m < endMonth) || (y < endYear && m < 12)) {
            ++m;
            continue;
        }
        if (y >= endYear)
            break;
        m = 1;
        ++y;
    }
    return query;
}

QByteArray BuildPointList(DbConnection& db) {
    std::vector<TablIPTP> out;
    db.forEach(QStringLiteral(
                   "select * from SpisKel where TypeNo<>6 ORDER BY NAMEUZEL, NAMEZDAN, TYPENO, PRIBORNO;"),
               {}, [&](const DbRow& row) {
                   const int type = row.toInt(QStringLiteral("TYPENO"));
                   if (type != 2 && type != 4 && type != 6 && type != 8)
                       return true;
                   TablIPTP r;
                   r.uzelIdent = std::int32_t(row.value(QStringLiteral("UZELIDENT")).toInt64());
                   setText(r.nameUzel, row, QStringLiteral("NAMEUZEL"));
                   r.priborNo = std::uint16_t(row.value(QStringLiteral("PRIBORNO")).toInt64());
                   r.nomZdan = lowByte(row, QStringLiteral("NOMZDAN"));
                   r.typeNo = std::uint8_t(type);
                   setText(r.nameZdan, row, QStringLiteral("NAMEZDAN"));
                   for (const char* column : {"SPISAVAR1", "SPISAVAR2", "SPISAVAR3", "SPISAVAR4", "SPISAVAR5",
                                              "SPISAVAR6", "SPISAVAR7", "SOOBSHEN"}) {
                       if (row.value(QString::fromLatin1(column)).toInt64() != 0)
                           r.avar = 1;
                   }
                   out.push_back(r);
                   return true;
               });
    return recordReply(Code::QTP, out);
}

QByteArray BuildZoneList(DbConnection& db) {
    const QString sql =
        QStringList{
            QStringLiteral("select NAMEZDAN,NomZdan,NameEtaz,NomEtaz,NameZon,NomZon,"),
            QStringLiteral("min(PRIBORNO) as PriborNo,min(NomKont) as NomKont,"),
            QStringLiteral("min(TEMPZON) as MinTemp, avg(TEMPZON) as AvgTemp,"),
            QStringLiteral(
                "max(TEMPZON) as MaxTemp, max(SpisAvar1) as SpisAvar, UZELIDENT, NAMEUZEL from SpisKel "
                "where TypeNo=6 and NomZon<>0"),
            QStringLiteral("group by NAMEZDAN,NomZdan,NameEtaz,NomEtaz,NameZon,NomZon,UZELIDENT, NAMEUZEL"),
            QStringLiteral("union all select NAMEZDAN,NomZdan,NameEtaz,NomEtaz,NameZon,"),
            QStringLiteral(
                "NomZon,PriborNo,NomKont, TEMPZON as MinTemp, TEMPZON as AvgTemp, TEMPZON as MaxTemp, "
                "SpisAvar1 as SpisAvar, UZELIDENT, NAMEUZEL"),
            QStringLiteral("from SpisKel where TypeNo=6 and NomZon=0"),
        }
            .join(QLatin1Char('\n'));
    std::vector<TablIPTZ> out;
    db.forEach(sql, {}, [&](const DbRow& row) {
        TablIPTZ r;
        r.uzelIdent = std::int32_t(row.value(QStringLiteral("UZELIDENT")).toInt64());
        setText(r.nameUzel, row, QStringLiteral("NAMEUZEL"));
        r.priborNo = std::uint16_t(row.value(QStringLiteral("PRIBORNO")).toInt64());
        r.nomZdan = lowByte(row, QStringLiteral("NOMZDAN"));
        r.nomEtaz = lowByte(row, QStringLiteral("NOMETAZ"));
        r.nomZon = lowByte(row, QStringLiteral("NOMZON"));
        setText(r.nameEtaz, row, QStringLiteral("NAMEETAZ"));
        setText(r.nameZdan, row, QStringLiteral("NAMEZDAN"));
        setText(r.nameZon, row, QStringLiteral("NAMEZON"));
        r.nomKont = lowByte(row, QStringLiteral("NOMKONT"));
        r.minTemp = lowByte(row, QStringLiteral("MINTEMP"));
        r.avgTemp = lowByte(row, QStringLiteral("AVGTEMP"));
        r.maxTemp = lowByte(row, QStringLiteral("MAXTEMP"));
        r.avar = row.value(QStringLiteral("SPISAVAR")).toInt64() != 0 ? 1 : 0;
        out.push_back(r);
        return true;
    });
    return recordReply(Code::QTZ, out);
}

QByteArray BuildZoneSummary(DbConnection& db, std::uint8_t nomZdan, std::uint8_t nomEtaz, UzelIdent node) {
    QStringList lines{
        QStringLiteral("select min(TEMPZON) as MinTemp,avg(TEMPZON) as AvgTemp, max(TEMPZON) as MaxTemp "),
        QStringLiteral("from SpisKel where TypeNo=6 and UzelIdent=:UzelID"),
    };
    DbParams params{{QStringLiteral("UzelID"), node}};
    if (nomZdan != 0) {
        lines << QStringLiteral("and NomZdan=:NomerZd");
        params.set(QStringLiteral("NomerZd"), int(nomZdan));
    }
    if (nomEtaz != 0) {
        lines << QStringLiteral("and NomEtaz=:NomerEt");
        params.set(QStringLiteral("NomerEt"), int(nomEtaz));
    }
    std::uint8_t minT = 0, avgT = 0, maxT = 0;
    db.forEach(lines.join(QLatin1Char('\n')), params, [&](const DbRow& row) {
        minT = lowByte(row, QStringLiteral("MINTEMP"));
        avgT = lowByte(row, QStringLiteral("AVGTEMP"));
        maxT = lowByte(row, QStringLiteral("MAXTEMP"));
        return false;
    });
    return buildQtt(minT, avgT, maxT);
}

std::vector<TablNoActUstr> InactiveDevices(DbConnection& db, const QDateTime& neact02,
                                           const QDateTime& neact06) {
    const QString sql =
        QStringList{
            QStringLiteral("select LastDate,NAMEZDAN,NomZdan,TypeNo,min(PRIBORNO) as PriborNo, UZELIDENT"),
            QStringLiteral("from SpisKel where TypeNo=6 and LastDate < :Neact06"),
            QStringLiteral("group by LastDate,NAMEZDAN,NomZdan,TypeNo,UZELIDENT"),
            QStringLiteral("union all select LastDate,NAMEZDAN,NomZdan,TypeNo,PriborNo, UZELIDENT"),
            QStringLiteral("from SpisKel where TypeNo<>6 and LastDate < :Neact02"),
        }
            .join(QLatin1Char('\n'));
    std::vector<TablNoActUstr> out;
    db.forEach(sql, {{QStringLiteral("Neact02"), neact02}, {QStringLiteral("Neact06"), neact06}},
               [&](const DbRow& row) {
                   TablNoActUstr r;
                   r.uzelIdent = std::int32_t(row.value(QStringLiteral("UZELIDENT")).toInt64());
                   r.priborNo = std::uint16_t(row.value(QStringLiteral("PRIBORNO")).toInt64());
                   r.nomZdan = lowByte(row, QStringLiteral("NOMZDAN"));
                   r.typeNo = lowByte(row, QStringLiteral("TYPENO"));
                   setText(r.nameZdan, row, QStringLiteral("NAMEZDAN"));
                   r.lastDate = toDayCount(row.toDateTime(QStringLiteral("LASTDATE")));
                   out.push_back(r);
                   return true;
               });
    return out;
}

QByteArray BuildInactiveList(DbConnection& db, const QDateTime& now, int neact02, int neact06) {
    const auto rows =
        InactiveDevices(db, now.addSecs(-60 * qint64(neact02)), now.addSecs(-60 * qint64(neact06)));
    return recordReply(Code::QNW, rows);
}

QByteArray BuildTempTrend(DbConnection& db, double begin, double end, std::uint32_t ident,
                          std::uint8_t selector, UzelIdent node) {
    static const QString columns[4] = {QStringLiteral("DATACAN12"), QStringLiteral("DATACAN34"),
                                       QStringLiteral("DATACAN56"), QStringLiteral("DATACAN78")};
    std::vector<SpTrend> out;
    forEachLogRow(db, begin, end, ident, node, [&](const DbRow& row) {
        const qint64 length = row.value(QStringLiteral("LENGDATA")).toInt64();
        for (int i = 0; i < 4; ++i) {
            // A pair is only there when the frame carried both of its bytes.
            if (length > 2 * i + 1 && highOf(row, columns[i]) == selector) {
                SpTrend p;
                p.value = lowByte(row, columns[i]);
                p.dateInf = dateOf(row);
                out.push_back(p);
            }
        }
    });
    return recordReply(Code::QRT, out);
}

QByteArray BuildOutsideTrend(DbConnection& db, double begin, double end, std::uint32_t ident,
                             UzelIdent node) {
    std::vector<SpTrend> out;
    forEachLogRow(db, begin, end, ident, node, [&](const DbRow& row) {
        if (row.value(QStringLiteral("LENGDATA")).toInt64() > 1) {
            SpTrend p;
            p.value = highOf(row, QStringLiteral("DATACAN12"));
            p.dateInf = dateOf(row);
            out.push_back(p);
        }
    });
    return recordReply(Code::QRT, out);
}

QByteArray BuildSensorTrend(DbConnection& db, double begin, double end, std::int32_t selector,
                            UzelIdent node) {
    const std::uint8_t code = std::uint8_t(selector & 0xFF);
    std::vector<DatcTrend> out;
    forEachLogRow(db, begin, end, kSensorIdent, node, [&](const DbRow& row) {
        if (row.value(QStringLiteral("LENGDATA")).toInt64() > 1 &&
            highOf(row, QStringLiteral("DATACAN12")) == code) {
            DatcTrend p;
            p.value[0] = highOf(row, QStringLiteral("DATACAN34"));
            p.value[1] = lowByte(row, QStringLiteral("DATACAN34"));
            p.value[2] = highOf(row, QStringLiteral("DATACAN56"));
            p.value[3] = lowByte(row, QStringLiteral("DATACAN56"));
            p.dateInf = dateOf(row);
            out.push_back(p);
        }
    });
    return recordReply(Code::QDT, out);
}

QByteArray BuildAlarmLogReply(const QString& errorLogFile) {
    QFile f(errorLogFile);
    if (!f.open(QIODevice::ReadOnly))
        return buildAlarmLogReply(std::nullopt);
    return buildAlarmLogReply(toCp1251(QString::fromUtf8(f.readAll())));
}

} // namespace kelcon
