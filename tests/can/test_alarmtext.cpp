#include "can/AlarmText.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kelcon;

namespace {

constexpr int kNomer = 12;

TCanFrame frame(int type, std::uint32_t cls, std::vector<int> data)
{
    TCanFrame f;
    f.ident = makeDeviceKey(kNomer, type) | cls;
    f.len = std::uint8_t(data.size());
    for (std::size_t i = 0; i < data.size() && i < 8; ++i)
        f.data[i] = std::uint8_t(data[i]);
    return f;
}

// The register knows building names only for node 3 and for device 12 of type 2 on the own bus.
AlarmNames registerNames()
{
    AlarmNames n;
    n.buildingName = [](UzelIdent uzel, int nomer, int type) {
        if (uzel == 3 && nomer == kNomer && type == 8)
            return QStringLiteral(" Котельная ");
        if (uzel == 0 && nomer == kNomer && type == 6)
            return QStringLiteral("Школа     ");
        return QString();
    };
    n.nodeName = [](UzelIdent uzel) { return uzel == 3 ? QStringLiteral("Северный") : QString(); };
    return n;
}

struct AlarmCase {
    const char* name;
    TCanFrame frame;
    UzelIdent uzel;
    const char* text;
    bool signal;
};

const AlarmCase kCases[] = {
    {"two words of a KEL-02: blanks before the joining comma and before на", frame(2, kAlarmReport, {0, 0x03, 1, 0x01}),
     0,
     "Авария датчика температуры 1 контура, Авария датчика температуры 2 контура , Авария 1 насоса 1 контура  на KEL-02 "
     "адрес № 0012",
     true},
    {"KEL-04 non-critical", frame(4, kAlarmReport, {1, 0x02}), 0, "Авария - некритическая  на KEL-04 адрес № 0012",
     true},
    {"a bit without text still signals, as one blank", frame(2, kAlarmReport, {0, 0x40}), 0,
     "  на KEL-02 адрес № 0012", true},
    {"a word without a table gives one blank", frame(6, kAlarmReport, {1, 0x01}), 0, "  на KEL-06 (Школа) адрес № 0012",
     true},
    {"a zero word between two adds nothing", frame(8, kAlarmReport, {0, 0x01, 3, 0x00, 5, 0x10}), 0,
     "Авария датчика температуры 1 контура , Внимание: появилось напряжение, авария снята  на KEL-08 адрес № 0012",
     true},
    {"KEL-06 sensors and supply, building name from the register", frame(6, kAlarmReport, {0, 0x41}), 0,
     "Авария датчика температуры 1 контура, Авария датчика температуры подачи  на KEL-06 (Школа) адрес № 0012", true},
    {"all words zero: no alarm", frame(8, kAlarmReport, {0, 0, 6, 0}), 0, "", false},
    {"empty alarm report: no alarm", frame(8, kAlarmReport, {}), 0, "", false},
    {"type without texts is one word for the whole report", frame(5, kAlarmReport, {0, 0x01, 1, 0x02}), 0,
     "Авария на KEL-05 адрес № 0012", true},
    {"other node with building name and node name", frame(8, kAlarmReport, {6, 0x02}), 3,
     "Авария - сработала охрана  на KEL-08 (Котельная) адрес № 0012 на узле\"Северный\"", true},
    {"unknown node: empty quotes", frame(8, kAlarmReport, {6, 0x04}), 7,
     "Авария котла(ов)  на KEL-08 адрес № 0012 на узле\"\"", true},
    {"address conflict", frame(8, kAddressConflict, {}), 3, "Конфликт адресов KEL-08 адрес № 0012", true},
    {"make-up pressure warning is text without signal", frame(8, kParameterReport, {0x80, 55, 0xE1, 0x01}), 0,
     "Внимание: нет давления для подпитки KEL-08 адрес № 0012", false},
    {"state 0 of the make-up code is no warning", frame(8, kParameterReport, {0xE1, 0x00}), 0, "", false},
    {"alarm status is no alarm line", frame(8, kAlarmStatus, {0, 0xFF}), 0, "", false},
    {"alarm clear is no alarm line", frame(8, kAlarmClearReport, {}), 0, "", false},
};

} // namespace

TEST(AlarmText, Lines)
{
    const AlarmNames names = registerNames();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const AlarmTextResult r = AlarmText(c.frame, c.uzel, names);
        EXPECT_EQ(r.text, QString::fromUtf8(c.text));
        EXPECT_EQ(r.flag, c.signal ? 1 : 0);
    }
}

TEST(AlarmText, InactivityRecord)
{
    const AlarmTextResult r = AlarmText(TCanFrame{}, 0, {});
    EXPECT_EQ(r.text, QStringLiteral("Авария - есть неактивные устройства"));
    EXPECT_EQ(r.flag, 1);
}

TEST(AlarmText, TypeTextsOfEveryBitAndHostileCodes)
{
    EXPECT_EQ(TypeAlarmText(8, 2, 0x81), QStringLiteral("Авария 1 насоса 1 контура, Авария 2 насоса 4 контура "));
    EXPECT_EQ(TypeAlarmText(8, 6, 0xFF),
              QStringLiteral("Авария СО - уровень 1, Авария - сработала охрана, Авария котла(ов), "
                             "Авария - слишком долгое подпитывание, Авария - достигнут максимум объема подпитки, "
                             "Авария клапана подпитки "));
    EXPECT_EQ(TypeAlarmText(6, 0, 0x20), QStringLiteral("Авария датчика температуры 6 контура "));
    for (int type : {2, 4, 6, 8}) {
        EXPECT_EQ(TypeAlarmText(type, 7, 0xFF), QStringLiteral(" "));
        EXPECT_EQ(TypeAlarmText(type, 255, 0xFF), QStringLiteral(" "));
        EXPECT_EQ(TypeAlarmText(type, -1, 0xFF), QStringLiteral(" "));
    }
    EXPECT_EQ(TypeAlarmText(24, 0, 0xFF), QStringLiteral(" "));

    // A length nibble above 8 reads no further than data byte 7: four words, none lost, none made up.
    TCanFrame f = frame(8, kAlarmReport, {0, 0x01, 1, 0x01, 2, 0x01, 3, 0x01});
    f.len = 0x0F;
    EXPECT_EQ(AlarmText(f, 0, {}).text.count(QStringLiteral("Авария")), 4);
}

TEST(AlarmText, RegisterIsAskedOnlyForAnAlarmLine)
{
    int lookups = 0;
    AlarmNames names;
    names.buildingName = [&](UzelIdent, int, int) {
        ++lookups;
        return QString();
    };
    names.nodeName = [&](UzelIdent) {
        ++lookups;
        return QString();
    };
    AlarmText(frame(8, kParameterReport, {0xE1, 1}), 3, names);
    AlarmText(frame(8, kStateReport, {0, 1}), 3, names);
    AlarmText(frame(8, kAlarmReport, {0, 0}), 3, names);
    AlarmText(frame(8, kAddressConflict, {}), 3, names);
    EXPECT_EQ(lookups, 0);
    AlarmText(frame(8, kAlarmReport, {0, 1}), 3, names);
    EXPECT_EQ(lookups, 2);
}
