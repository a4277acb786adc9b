#include "AlarmText.h"

#include <algorithm>
#include <iterator>

namespace kelcon {

namespace {

using TextRow = const char* const[8];

constexpr TextRow kTextKel02[] = {
    {"Авария датчика температуры 1 контура", "Авария датчика температуры 2 контура",
     "Авария датчика температуры обратки 1 контура", "Авария датчика температуры обратки 2 контура",
     "Авария датчика температуры улицы", "Авария - замыкание (КЗ) в линии датчиков температуры", nullptr,
     "Авария - сработала охрана"},
    {"Авария 1 насоса 1 контура", "Авария 2 насоса 1 контура", "Авария 1 насоса 2 контура",
     "Авария 2 насоса 2 контура", "Авария давления теплоносителя", nullptr, nullptr, nullptr},
};

constexpr TextRow kTextKel04[] = {
    {"Авария датчика температуры 1 контура", "Авария датчика температуры 2 контура",
     "Авария датчика температуры 3 контура", "Авария датчика температуры 4 контура",
     "Авария датчика температуры контура ГВС", "Авария датчика температуры подачи",
     "Авария датчика температуры улицы", "Авария - замыкание (КЗ) в линии датчиков температуры"},
    {"Внимание! Критическая авария", "Авария - некритическая", nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
};

constexpr TextRow kTextKel06[] = {
    {"Авария датчика температуры 1 контура", "Авария датчика температуры 2 контура",
     "Авария датчика температуры 3 контура", "Авария датчика температуры 4 контура",
     "Авария датчика температуры 5 контура", "Авария датчика температуры 6 контура",
     "Авария датчика температуры подачи", nullptr},
};

constexpr TextRow kTextKel08[] = {
    {"Авария датчика температуры 1 контура", "Авария датчика температуры 2 контура",
     "Авария датчика температуры 3 контура", "Авария датчика температуры 4 контура",
     "Авария датчика температуры контура ГВС", "Авария датчика температуры контура рециркуляции ГВС",
     "Авария датчика улицы", "Авария датчика температуры подачи"},
    {"Авария датчика температуры обратки", nullptr, nullptr, nullptr, nullptr,
     "Авария - нет исходной воды для подпитки", "Авария - слишком долгая сепарация",
     "Авария - замыкание (КЗ) в линии датчиков температуры"},
    {"Авария 1 насоса 1 контура", "Авария 2 насоса 1 контура", "Авария 1 насоса 2 контура",
     "Авария 2 насоса 2 контура", "Авария 1 насоса 3 контура", "Авария 2 насоса 3 контура",
     "Авария 1 насоса 4 контура", "Авария 2 насоса 4 контура"},
    {"Авария насоса 1 котла", "Авария насоса 2 котла", "Авария насоса 3 котла", "Авария насоса ГВС", nullptr,
     "Авария насоса рециркуляции ГВС", nullptr, nullptr},
    {"Авария клапана 1 контура", "Авария клапана 2 контура", "Авария клапана 3 контура",
     "Авария клапана 4 контура", nullptr, nullptr, nullptr, "Закончился сервисный интервал"},
    {"Авария - наличие метана", "Авария - нет напряжения", "Авария давления теплоносителя", "Авария - пожар",
     "Внимание: появилось напряжение, авария снята", "Авария давления газа", "Авария СО - уровень 2",
     "Авария общего дымохода"},
    {"Авария СО - уровень 1", "Авария - сработала охрана", "Авария котла(ов)", nullptr, nullptr,
     "Авария - слишком долгое подпитывание", "Авария - достигнут максимум объема подпитки",
     "Авария клапана подпитки"},
};

// The register's CHAR column comes back blank-padded; the line carries the name without the padding.
QString trimBlanks(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s.at(b).unicode() <= ' ')
        ++b;
    while (e > b && s.at(e - 1).unicode() <= ' ')
        --e;
    return s.mid(b, e - b);
}

// "KEL-08 адрес № 0005" without the parentheses of deviceTitle.
QString deviceWithAddress(int type, int nomer) { return typeName(type) + QLatin1Char(' ') + addressText(nomer); }

QString alarmMessage(const QString& text, const TCanFrame& f, UzelIdent uzel, const AlarmNames& names)
{
    const int type = deviceType(f.ident);
    const int nomer = deviceNumber(f.ident);
    const QString zdan = names.buildingName ? trimBlanks(names.buildingName(uzel, nomer, type)) : QString();
    QString line = text + QStringLiteral(" на ") + typeName(type);
    if (!zdan.isEmpty())
        line += QStringLiteral(" (") + zdan + QLatin1Char(')');
    line += QLatin1Char(' ') + addressText(nomer);
    if (uzel != 0) {
        const QString uzelName = names.nodeName ? names.nodeName(uzel) : QString();
        line += QStringLiteral(" на узле\"") + uzelName + QLatin1Char('"');
    }
    return line;
}

} // namespace

QString InactivityAlarmText() { return QStringLiteral("Авария - есть неактивные устройства"); }

QString TypeAlarmText(int type, int code, int bits)
{
    const TextRow* table = nullptr;
    std::size_t codes = 0;
    switch (type) {
    case 2: table = kTextKel02; codes = std::size(kTextKel02); break;
    case 4: table = kTextKel04; codes = std::size(kTextKel04); break;
    case 6: table = kTextKel06; codes = std::size(kTextKel06); break;
    case 8: table = kTextKel08; codes = std::size(kTextKel08); break;
    default: break;
    }
    QString text;
    if (table && code >= 0 && std::size_t(code) < codes) {
        for (int b = 0; b < 8; ++b) {
            const char* t = table[code][b];
            if (!t || !((bits >> b) & 1))
                continue;
            if (!text.isEmpty())
                text += QStringLiteral(", ");
            text += QString::fromUtf8(t);
        }
    }
    return text + QLatin1Char(' ');
}

AlarmTextResult AlarmText(const TCanFrame& frame, UzelIdent uzel, const AlarmNames& names)
{
    const std::uint32_t word = frame.ident;
    if (word == 0)
        return {1, InactivityAlarmText()};

    const int type = deviceType(word);
    const int nomer = deviceNumber(word);
    const int len = std::min(frame.dataLength(), 8);
    switch (reportClass(word)) {
    case kAddressConflict:
        return {1, QStringLiteral("Конфликт адресов ") + deviceWithAddress(type, nomer)};
    case kParameterReport: {
        AlarmTextResult r;
        for (int i = 0; 2 * i + 1 < len; ++i)
            if (frame.data[2 * i] == 0xE1 && frame.data[2 * i + 1] != 0)
                r.text = QStringLiteral("Внимание: нет давления для подпитки ") + deviceWithAddress(type, nomer);
        return r;
    }
    case kAlarmReport: {
        QString text;
        bool any = false;
        for (int i = 0; 2 * i + 1 < len; ++i) {
            const int code = frame.data[2 * i];
            const int bits = frame.data[2 * i + 1];
            if (bits == 0)
                continue;
            if (any)
                text += QStringLiteral(", ");
            any = true;
            if (type == 2 || type == 4 || type == 6 || type == 8)
                text += TypeAlarmText(type, code, bits);
            else
                text = QStringLiteral("Авария"); // no texts for this type: one word for the whole report
        }
        if (!any)
            return {};
        return {1, alarmMessage(text, frame, uzel, names)};
    }
    default:
        return {};
    }
}

} // namespace kelcon
