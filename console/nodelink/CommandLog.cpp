#include "nodelink/CommandLog.h"

#include "can/CanFrame.h"
#include "storage/Db.h"

namespace kelcon {

namespace {

std::uint8_t byteOr0(const std::uint8_t* data, int count, int i) {
    return i < count ? data[i] : 0;
}

QString bcdHour(std::uint8_t v) {
    return QString::number(v >> 4) + QString::number(v & 0x0F);
}

QString dayName(std::uint8_t v) {
    static const char* const names[] = {"понедельник", "вторник", "среда",      "четверг",
                                        "пятница",     "суббота", "воскресенье"};
    return v < 7 ? QLatin1Char('"') + QString::fromUtf8(names[v]) + QLatin1Char('"') : QString();
}

QString reduction(std::uint8_t v) {
    return v != 0 ? QString::number(v) + QStringLiteral("°C") : QStringLiteral("\"бесконечность\"");
}

// The parameters a step can change, by parameter field; 1 and the curve points depend on the
// circuit and are chosen by the caller.
QString stepParameter(int p) {
    switch (p) {
    case 2:
        return QStringLiteral("величину суточного уменьшения");
    case 3:
        return QStringLiteral("начало суточного уменьшения");
    case 4:
        return QStringLiteral("окончание суточного уменьшения");
    case 5:
        return QStringLiteral("величину недельного уменьшения");
    case 6:
        return QStringLiteral("время начала недельного уменьшения");
    case 7:
        return QStringLiteral("день начала недельного уменьшения");
    case 8:
        return QStringLiteral("время окончания недельного уменьшения");
    case 9:
        return QStringLiteral("день окончания недельного уменьшения");
    default:
        return {};
    }
}

QString kontura(int circuit) {
    return QString::number(circuit) + QStringLiteral(" контура");
}

} // namespace

QString PeerName(const QString& address, const QStringList& remoteNodeLines) {
    for (const QString& line : remoteNodeLines) {
        const qsizetype open = line.indexOf(QLatin1Char('('));
        if (open < 0)
            continue;
        const qsizetype close = line.indexOf(QLatin1Char(')'), open + 1);
        const QString lineAddress = close < 0 ? line.mid(open + 1) : line.mid(open + 1, close - open - 1);
        if (lineAddress == address)
            return line.left(open).trimmed();
    }
    return address;
}

std::optional<std::array<int, 4>> dottedParts(const QString& text) {
    for (QChar c : text) {
        if (!c.isDigit() && c != QLatin1Char('.'))
            return std::nullopt;
    }
    std::array<int, 4> parts{};
    qsizetype from = 0;
    for (int i = 0; i < 4; ++i) {
        const qsizetype dot = i < 3 ? text.indexOf(QLatin1Char('.'), from) : text.size();
        const QString part = dot < 0 ? QString() : text.mid(from, dot - from);
        bool ok = false;
        const int v = part.toInt(&ok);
        if (!ok || v >= 256)
            return std::nullopt;
        parts[std::size_t(i)] = v;
        from = dot + 1;
    }
    return parts;
}

QString CpmAction(const std::uint8_t* data, int count) {
    const std::uint8_t v = byteOr0(data, count, 1);
    switch (byteOr0(data, count, 0) & 0x1F) {
    case 0x1E:
        switch (v) {
        case 0:
            return QStringLiteral("включение \"нормального\" режима ");
        case 1:
            return QStringLiteral("включение режима \"выходные\" ");
        case 2:
            return QStringLiteral("включение режима \"остановлено\" ");
        default:
            return {};
        }
    case 1:
        return QStringLiteral("установить поддерживаемую температуру ") + QString::number(v) +
               QStringLiteral("°C");
    case 2:
        return QStringLiteral("установить величину суточного уменьшения ") + reduction(v);
    case 3:
        return QStringLiteral("установить начало суточного уменьшения ") + bcdHour(v) + QStringLiteral("ч");
    case 4:
        return QStringLiteral("установить окончание суточного уменьшения ") + bcdHour(v) +
               QStringLiteral("ч");
    case 5:
        return QStringLiteral("установить величину недельного уменьшения ") + reduction(v);
    case 6:
        return QStringLiteral("установить время начала недельного уменьшения ") + bcdHour(v) +
               QStringLiteral("ч");
    case 7:
        return QStringLiteral("установить день начала недельного уменьшения ") + dayName(v);
    case 8:
        return QStringLiteral("установить время окончания недельного уменьшения ") + bcdHour(v) +
               QStringLiteral("ч");
    case 9:
        return QStringLiteral("установить день окончания недельного уменьшения ") + dayName(v);
    default:
        return {};
    }
}

QString CpmScope(const std::uint8_t* data, int count) {
    const std::uint8_t zdan = byteOr0(data, count, 2);
    const std::uint8_t etaz = byteOr0(data, count, 3);
    const std::uint8_t zon = byteOr0(data, count, 4);
    if (zdan == 0 && etaz == 0 && zon == 0)
        return QStringLiteral(" для всех зданий");
    QString s;
    if (zon != 0)
        s += QStringLiteral(" для зоны ID:") + QString::number(zon);
    if (etaz != 0)
        s += QStringLiteral(" для этажа ID:") + QString::number(etaz);
    if (zdan != 0)
        s += QStringLiteral(" для здания ID:") + QString::number(zdan);
    return s;
}

QString GrtLine(int type, int s) {
    switch (s) {
    case 0:
    case 32:
    case 64:
    case 96:
        return kontura(s / 32 + 1);
    case 12:
    case 44:
        return type == 2 ? QStringLiteral("обратки ") + kontura(s / 32 + 1) : QString();
    case 128:
        return type == 6 ? QStringLiteral("5 контура") : QStringLiteral("контура ГВС");
    case 140:
        return type == 8 ? QStringLiteral("контура рециркуляции ГВС") : QString();
    case 160:
        return type == 6 ? QStringLiteral("6 контура") : QStringLiteral("подачи котлового контура");
    case 161:
        return type == 8 ? QStringLiteral("обратки котлового контура") : QString();
    default:
        return {};
    }
}

QString ZcnItem(int type, std::uint32_t word) {
    switch (word & 0xFF0F) {
    case 0x0000:
        return QStringLiteral("название устройства");
    case 0x0004:
        return QStringLiteral("параметры 1 контура");
    case 0x2004:
        return QStringLiteral("параметры 2 контура");
    case 0x4004:
        return QStringLiteral("параметры 3 контура");
    case 0x6004:
        return QStringLiteral("параметры 4 контура");
    case 0x8004:
        return type == 6 ? QStringLiteral("параметры 5 контура") : QStringLiteral("параметры контура ГВС");
    case 0xA004:
        return type == 6 ? QStringLiteral("параметры 6 контура") : QStringLiteral("параметры контура котлов");
    case 0xE003:
        return QStringLiteral("основные параметры");
    case 0xE005:
        return QStringLiteral("все названия");
    default:
        return {};
    }
}

QString ZpcPhrase(int type, std::uint32_t word) {
    if ((word & 0xFF0F) == 0xE006)
        return QStringLiteral("сброс всех аварий");
    const int op = int(word & 0x0F);
    if (op != 1 && op != 2)
        return {};
    const bool kel06 = type == 6;
    const int c = int((word >> 13) & 7);
    const int p = int((word >> 8) & 0x1F);
    const QString verb = op == 1 ? QStringLiteral("увеличить") : QStringLiteral("уменьшить");
    const auto join = [&verb](const QString& phrase, const QString& tail) {
        return phrase.isEmpty() ? QString() : verb + QLatin1Char(' ') + phrase + tail;
    };

    if (kel06 && p == 0x1E && c <= 5)
        return (op == 1 ? QStringLiteral("включить режим \"выходные\" для ")
                        : QStringLiteral("выключить режим \"выходные\" для ")) +
               kontura(c + 1);
    if (c <= 3) {
        QString phrase;
        if (p == 1)
            phrase = kel06 ? QStringLiteral("поддерживаемую температуру")
                           : QStringLiteral("минимальную температуру");
        else if (p == 0x0B)
            phrase = QStringLiteral("номер кривой");
        else if (p == 0x0E)
            phrase = QStringLiteral("точку пользовательской кривой при +8°C");
        else if (p == 0x10)
            phrase = QStringLiteral("точку пользовательской кривой при -8°C");
        else
            phrase = stepParameter(p);
        return join(phrase, QLatin1Char(' ') + kontura(c + 1));
    }
    if (c == 4) {
        if (p == 0x0B)
            return verb + QStringLiteral(" дельта ГВС и рециркуляции ГВС");
        if (kel06)
            return join(p == 1 ? QStringLiteral("поддерживаемую температуру") : stepParameter(p),
                        QStringLiteral(" 5 контура"));
        if (p == 1)
            return verb + QStringLiteral(" температуру поддержания ГВС");
        return join(stepParameter(p), QStringLiteral(" ГВС"));
    }
    if (c == 5) {
        if (p == 0x1F)
            return op == 1 ? QStringLiteral("включить ротацию котлов")
                           : QStringLiteral("выключить ротацию котлов");
        if (kel06)
            return join(p == 1 ? QStringLiteral("поддерживаемую температуру") : stepParameter(p),
                        QStringLiteral(" 6 контура"));
        switch (p) {
        case 2:
            return verb + QStringLiteral(" температуру подачи котлов");
        case 3:
            return verb + QStringLiteral(" дельта температуры подачи и обратки котлов");
        case 9:
            return verb + QStringLiteral(" температуру включения резервного котла");
        default:
            return {};
        }
    }
    return {};
}

QString CommandText(const QString& displayName, const LoggedCommand& cmd) {
    const int type = deviceType(cmd.ident);
    const QString d = deviceTitle(type, deviceNumber(cmd.ident));
    QString t = QStringLiteral("Клиент (") + displayName;
    switch (cmd.code) {
    case Code::CAN:
        return t + QStringLiteral(") передал значение параметра");
    case Code::CPM:
        return t + QStringLiteral(") запросил ") +
               (type == 6 ? QStringLiteral("для устройств KEL-06 ") : QStringLiteral("для всех устройств ")) +
               CpmAction(cmd.params.data(), cmd.paramCount) + CpmScope(cmd.params.data(), cmd.paramCount);
    case Code::GTT:
        t += QStringLiteral(") запросил список текущих температур зон");
        if (cmd.building != 0)
            t += QStringLiteral(" здания ID:") + QString::number(cmd.building);
        if (cmd.floor != 0)
            t += QStringLiteral(" этажа ID:") + QString::number(cmd.floor);
        return t;
    case Code::GRT:
        return t + QStringLiteral(") запросил у ") + d + QStringLiteral(" кривую температуры ") +
               GrtLine(type, cmd.selector & 0xFF);
    case Code::GDT: {
        const int sensor = cmd.selector & 0xFF;
        t += QStringLiteral(") запросил ");
        if (sensor != 0)
            t += QStringLiteral("у здания адрес № ") + QString::number(sensor) + QLatin1Char(' ');
        return t + QStringLiteral("кривую датчика №") + QString::number(sensor);
    }
    case Code::GUT:
        return t + QStringLiteral(") запросил у ") + d + QStringLiteral(" кривую уличной температуры");
    case Code::DNW:
        return t + QStringLiteral(") запросил удаление из списка неактивных устройств");
    case Code::ZCN:
        return t + QStringLiteral(") запросил у ") + d + ZcnItem(type, cmd.ident);
    case Code::ZPC:
        return t + QStringLiteral(") запросил у ") + d + ZpcPhrase(type, cmd.ident);
    case Code::GTP:
        return t + QStringLiteral(") запросил список т.пунктов");
    case Code::GTZ:
        return t + QStringLiteral(") запросил список т.зон");
    case Code::GNW:
        return t + QStringLiteral(") запросил список неактивных устройств");
    case Code::GSA:
        return t + QStringLiteral(") запросил список аварий");
    default:
        return t + QLatin1Char(')');
    }
}

void insertCommandRow(DbConnection& db, const QDateTime& time, const std::array<int, 4>& address,
                      const LoggedCommand& cmd) {
    const auto par = [&cmd](int i) { return int(i < cmd.paramCount ? cmd.params[std::size_t(i)] : 0); };
    db.execute(
        QStringLiteral("insert into SPISCMD (DATECMD,IP1,IP2,IP3,IP4,CMD,IDENT,PAR1,PAR2,PAR3,PAR4,PAR5)"
                       "values (:DateTime,:Addr_IP1,:Addr_IP2,:Addr_IP3,:Addr_IP4,:TextCMD,") +
            QString::number(std::int32_t(cmd.ident)) +
            QStringLiteral(",:CmdPar1,:CmdPar2,:CmdPar3,:CmdPar4,:CmdPar5)"),
        {{QStringLiteral("DateTime"), time},
         {QStringLiteral("Addr_IP1"), address[0]},
         {QStringLiteral("Addr_IP2"), address[1]},
         {QStringLiteral("Addr_IP3"), address[2]},
         {QStringLiteral("Addr_IP4"), address[3]},
         {QStringLiteral("TextCMD"), QString::fromLatin1(codeText(cmd.code).toByteArray())},
         {QStringLiteral("CmdPar1"), par(0)},
         {QStringLiteral("CmdPar2"), par(1)},
         {QStringLiteral("CmdPar3"), par(2)},
         {QStringLiteral("CmdPar4"), par(3)},
         {QStringLiteral("CmdPar5"), par(4)}});
}

} // namespace kelcon
