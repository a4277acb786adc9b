#include "can/DeviceRecord.h"
#include "core/Cp1251.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace kelcon;

namespace {

constexpr int kNomer = 5;
constexpr std::uint8_t kZdan = 17;

// A frame of device kNomer of the given type: class bits (with the subject) and data bytes.
TCanFrame frame(int type, std::uint32_t cls, std::vector<int> data)
{
    if (data.size() > 8)
        ADD_FAILURE() << "a frame carries at most 8 data bytes";
    TCanFrame f;
    f.ident = makeDeviceKey(kNomer, type) | cls;
    f.len = std::uint8_t(data.size());
    for (std::size_t i = 0; i < data.size() && i < 8; ++i)
        f.data[i] = std::uint8_t(data[i]);
    return f;
}

// Name frame half: object s, bytes 0-2, five characters of the name.
TCanFrame nameFrame(int type, bool second, int s, int d0, int d1, int d2, const QString& five)
{
    const QByteArray c = toCp1251(five);
    return frame(type, (second ? kNameSecondHalf : kNameFirstHalf) | std::uint32_t(s) << 8,
                 {d0, d1, d2, c[0], c[1], c[2], c[3], c[4]});
}

TCanFrame params(int type, std::vector<int> pairs) { return frame(type, kParameterReport, std::move(pairs)); }
TCanFrame state(int type, std::vector<int> pairs) { return frame(type, kStateReport, std::move(pairs)); }
TCanFrame alarm(int type, std::vector<int> pairs) { return frame(type, kAlarmReport, std::move(pairs)); }
TCanFrame alarmStatus(int type, std::vector<int> pairs) { return frame(type, kAlarmStatus, std::move(pairs)); }
TCanFrame alarmClear(int type, std::vector<int> pairs) { return frame(type, kAlarmClearReport, std::move(pairs)); }

const TUstrKel06& kel06(const TUstr& u) { return dynamic_cast<const TUstrKel06&>(u); }

struct DecodeCase {
    const char* name;
    int type;
    std::vector<TCanFrame> frames;
    std::function<void(const TUstr&)> check;
};

const std::vector<DecodeCase>& decodeCases()
{
    static const std::vector<DecodeCase> cases = {
        {"KEL-08 hot-water daily reduction start is BCD", 8, {params(8, {0x83, 0x25})},
         [](const TUstr& u) { EXPECT_EQ(u.GVS.SnizSutNach, 25); }},
        {"KEL-08 circuit codes: circuit from bits 7-5, return temperature only on KEL-02", 8,
         {params(8, {0x40, 55, 0x63, 0x22, 0x6E, 70, 0x6C, 40})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[2].Temp, 55);
             EXPECT_EQ(u.Kontur[3].SnizSutNach, 22);
             EXPECT_EQ(u.Kontur[3].KrivPlus8, 70);
             EXPECT_EQ(u.Kontur[3].TempObrat, kNoValue);
         }},
        {"KEL-08 make-up time is limited to 59999", 8, {params(8, {0xE2, 0x70, 0xE3, 0xEA})},
         [](const TUstr& u) { EXPECT_EQ(u.VremPodpit, 59999u); }},
        {"KEL-08 make-up time back to 0 clears make-up too long", 8,
         {alarm(8, {6, 0x20}), params(8, {0xE2, 0x10, 0xE3, 0x01}), params(8, {0xE2, 0, 0xE3, 0})},
         [](const TUstr& u) {
             EXPECT_EQ(u.VremPodpit, 0u);
             EXPECT_EQ(u.Avar[16], 0);
         }},
        {"KEL-08 status bit 0 with version 3 leaves status [0]", 8,
         {nameFrame(8, true, 0xF, 0, 0, 3, "ьная "), params(8, {0x0A, 0x01})},
         [](const TUstr& u) {
             EXPECT_EQ(u.VersPO, 3);
             EXPECT_EQ(u.Kontur[0].Status.StaroePO, 0);
             EXPECT_EQ(u.Kontur[0].Status.NeIspolz, 0);
         }},
        {"KEL-08 version 0: status bit 0 is status [0], which makes the curve 0", 8,
         {params(8, {0x0A, 0x51, 0x0B, 4, 0x2A, 0x00, 0x2B, 4})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[0].Status.StaroePO, 1);
             EXPECT_EQ(u.Kontur[0].Nasos.DvaNasosa, 1);
             EXPECT_EQ(u.Kontur[0].Status.Zapusk, 1);
             EXPECT_EQ(u.Kontur[0].Kriv, 0);
             EXPECT_EQ(u.Kontur[1].Kriv, 5);
         }},
        {"KEL-08 hot water, boilers, modes", 8,
         {params(8, {0x8A, 0x02, 0x8B, 4, 0x8C, 45, 0xA4, 0x12}),
          params(8, {0xA6, 3, 0xE0, 0x1F, 0xE1, 0x21, 0xE4, 9})},
         [](const TUstr& u) {
             EXPECT_EQ(u.GVS.Status.Otkl, 1);
             EXPECT_EQ(u.GVS.Status.NeIspolz, 0);
             EXPECT_EQ(u.GVS.RaznRecirc, 5);
             EXPECT_EQ(u.GVS.TempRecirc, 45);
             EXPECT_EQ(u.Kotelnaya.KolKotlov, 3);
             EXPECT_EQ(u.Kotelnaya.Modul, 1);
             EXPECT_EQ(u.Kotelnaya.OdnoStup, 0);
             EXPECT_EQ(u.Kotelnaya.NeIspolz, 0);
             EXPECT_EQ(u.Kotel[1].UrovModul, 3);
             EXPECT_EQ(u.Rezim, (std::array<std::uint8_t, 5>{1, 1, 1, 1, 1}));
             EXPECT_EQ(u.Sostoyanie.VseStop, 1);
             EXPECT_EQ(u.Sostoyanie.VseKotlyStop, 0);
             EXPECT_EQ(u.Sostoyanie.Separac, 1);
             EXPECT_EQ(u.SchetPodpit, 9u);
         }},
        {"KEL-08 state: pumps, valves and burners of every unit", 8,
         {state(8, {0, 0x80, 1, 0x40, 2, 0x3C, 3, 0xC9}), state(8, {4, 0x01})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[3].Nasos.Rabota2, 1);
             EXPECT_EQ(u.Kontur[3].Nasos.Rabota1, 0);
             EXPECT_EQ(u.Kontur[3].Klap.Otkr, 1);
             EXPECT_EQ(u.Kotel[2].Nasos, 1);
             EXPECT_EQ(u.KlapPodpit, 1);
             EXPECT_EQ(u.GVS.NasosRecirc, 1);
             EXPECT_EQ(u.Kotel[0].Gorelka, 1);
             EXPECT_EQ(u.Kotel[1].Gorelka, 1);
             EXPECT_EQ(u.Kotel[1].Stup2, 0);
             EXPECT_EQ(u.Kotel[2].Gorelka, 1);
             EXPECT_EQ(u.Kotel[2].Stup2, 1);
             EXPECT_EQ(u.Kotel[2].GorelkaDop, 1);
         }},
        {"KEL-08 CO level 2 after level 1 clears level 1", 8, {alarm(8, {6, 0x01}), alarm(8, {5, 0x40})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Avar[22], 0);
             EXPECT_EQ(u.Avar[23], 1);
         }},
        {"KEL-08 alarm reports add bits, alarm status replaces them", 8,
         {alarm(8, {0, 0x01}), alarm(8, {0, 0x02, 2, 0x80, 4, 0x04}), alarmStatus(8, {0, 0x02})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Avar[4], 0);
             EXPECT_EQ(u.Avar[5], 1);
             EXPECT_EQ(u.Kontur[3].Nasos.Avar2, 1);
             EXPECT_EQ(u.Kontur[2].Klap.Avar, 1);
         }},
        {"KEL-08 voltage back replaces no voltage", 8, {alarm(8, {5, 0x02}), alarm(8, {5, 0x10})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Avar[0], 0);
             EXPECT_EQ(u.Avar[1], 1);
         }},
        {"KEL-08 alarm clear of source water, separation and voltage", 8,
         {alarm(8, {1, 0x60, 5, 0x02}), alarmClear(8, {1, 0x60}), alarmClear(8, {5, 0x02})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Avar[19], 0);
             EXPECT_EQ(u.Avar[20], 0);
             EXPECT_EQ(u.Avar[0], 0);
         }},
        {"KEL-08 name halves of the record and a circuit; object 5 does not exist", 8,
         {nameFrame(8, false, 0xF, 9, 0, 0, "Котел"), nameFrame(8, true, 0xF, 0, 0, 3, "ьная "),
          nameFrame(8, false, 2, 9, 0, 0, "Котел"), nameFrame(8, false, 5, 1, 0, 0, "xxxxx")},
         [](const TUstr& u) {
             EXPECT_EQ(u.Name.text(), QStringLiteral("Котельная "));
             EXPECT_EQ(u.Kontur[2].Name.text(), QStringLiteral("Котел     "));
             EXPECT_EQ(u.NomZdan, 9);
         }},
        {"outside temperature of the own building, signed", 8, {frame(8, kOutsideTempBroadcast, {0xEC, kZdan})},
         [](const TUstr& u) { EXPECT_EQ(u.TempUlic, -20); }},
        {"outside temperature of another building or without its building byte is ignored", 8,
         {frame(8, kOutsideTempBroadcast, {0xEC, 3}), frame(8, kOutsideTempBroadcast, {0xEC}),
          frame(8, kOutsideTempBroadcast, {})},
         [](const TUstr& u) { EXPECT_TRUE(isNoValue(u.TempUlic)); }},
        {"KEL-02 version 1 reads as 2; object 2 is no KEL-02 circuit", 2,
         {nameFrame(2, true, 0xF, 0, 0, 1, "ьная "), nameFrame(2, false, 2, 1, 0, 0, "xxxxx")},
         [](const TUstr& u) {
             EXPECT_EQ(u.VersPO, 2);
             EXPECT_EQ(u.Kontur[2].Name.text(), QStringLiteral("          "));
             EXPECT_EQ(u.NomZdan, kZdan);
         }},
        {"KEL-02 circuit range ends at 0x3F, only mode of the upper codes", 2,
         {params(2, {0x2C, 41, 0x2D, 60, 0x40, 55, 0x80, 50}), params(2, {0xE0, 0x03, 0xE1, 0x01})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[1].TempObrat, 41);
             EXPECT_EQ(u.Kontur[1].OgranObrat, 60);
             EXPECT_EQ(u.Kontur[2].Temp, kNoValue);
             EXPECT_EQ(u.GVS.Temp, kNoValue);
             EXPECT_EQ(u.Rezim[kRezimVyhodn], 1);
             EXPECT_EQ(u.Rezim[kRezimStop], 1);
             EXPECT_EQ(u.Sostoyanie.VseStop, 0);
         }},
        {"KEL-02 status bit 0 is hot-water type once the version is known", 2,
         {nameFrame(2, true, 0xF, 0, 0, 2, "     "), params(2, {0x0A, 0x11})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[0].Status.TipGVS, 1);
             EXPECT_EQ(u.Kontur[0].Status.StaroePO, 0);
             EXPECT_EQ(u.Kontur[0].Nasos.DvaNasosa, 1);
         }},
        {"KEL-02 state byte only as pair 0", 2, {state(2, {0, 0x5A}), state(2, {1, 0xFF})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[0].Klap.Zakr, 1);
             EXPECT_EQ(u.Kontur[1].Klap.Zakr, 1);
             EXPECT_EQ(u.Kontur[0].Nasos.Rabota1, 1);
             EXPECT_EQ(u.Kontur[0].Nasos.Rabota2, 1);
             EXPECT_EQ(u.Kontur[1].Nasos.Rabota1, 0);
             EXPECT_EQ(u.Kontur[0].Klap.Otkr, 0);
         }},
        {"KEL-02 before version 2: pressure bit is assigned by an alarm report", 2,
         {alarm(2, {1, 0x10}), alarm(2, {1, 0x01})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Avar[26], 0);
             EXPECT_EQ(u.Kontur[0].Nasos.Avar1, 1);
         }},
        {"KEL-02 from version 2: pressure bit is only set by a report, cleared by the clear report", 2,
         {nameFrame(2, true, 0xF, 0, 0, 2, "     "), alarm(2, {1, 0x10}), alarm(2, {1, 0x01})},
         [](const TUstr& u) { EXPECT_EQ(u.Avar[26], 1); }},
        {"KEL-02 alarm clear of pressure", 2,
         {nameFrame(2, true, 0xF, 0, 0, 2, "     "), alarm(2, {1, 0x10}), alarmClear(2, {1, 0x10})},
         [](const TUstr& u) { EXPECT_EQ(u.Avar[26], 0); }},
        {"KEL-04 codes differ from KEL-08", 4,
         {params(4, {0x0A, 0x01, 0xA4, 0x15, 0x8B, 4, 0xA1, 60}), params(4, {0xE1, 0x01, 0xE0, 0x1F})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[0].Status.Recirc, 1);
             EXPECT_EQ(u.Kontur[0].Status.StaroePO, 0);
             EXPECT_EQ(u.Kotelnaya.KolKotlov, 2);
             EXPECT_EQ(u.Kotelnaya.Rotacia, 1);
             EXPECT_EQ(u.Kotelnaya.Rezerv, 1);
             EXPECT_EQ(u.GVS.RaznRecirc, 0);
             EXPECT_EQ(u.KotTempObrat, kNoValue);
             EXPECT_EQ(u.Sostoyanie.Ogranich, 1);
             EXPECT_EQ(u.Rezim, (std::array<std::uint8_t, 5>{1, 1, 0, 0, 0}));
         }},
        {"KEL-04 state and alarms", 4, {state(4, {0, 0x30, 1, 0x60}), alarm(4, {1, 0x02, 0, 0x80})},
         [](const TUstr& u) {
             EXPECT_EQ(u.GVS.NasosGVS, 1);
             EXPECT_EQ(u.Kotel[0].Nasos, 1);
             EXPECT_EQ(u.Kontur[3].Klap.Otkr, 1);
             EXPECT_EQ(u.Kotel[0].Gorelka, 1);
             EXPECT_EQ(u.Avar[35], 1);
             EXPECT_EQ(u.Avar[33], 1);
         }},
        {"pairs stop at the length; a length nibble above 8 reads no further than byte 7", 8,
         {[] {
              TCanFrame f = params(8, {0x20, 41, 0x40, 42, 0x60, 43, 0x80, 44});
              f.len = 0x0F;
              return f;
          }(),
          params(8, {0x81, 50, 0x40})},
         [](const TUstr& u) {
             EXPECT_EQ(u.Kontur[0].Temp, kNoValue);
             EXPECT_EQ(u.Kontur[1].Temp, 41);
             EXPECT_EQ(u.Kontur[2].Temp, 42);
             EXPECT_EQ(u.GVS.Temp, 44);
             EXPECT_EQ(u.GVS.Ustavka, 50);
         }},
        {"KEL-06 names of zone, floor and record", 6,
         {nameFrame(6, false, 1, 3, 2, 7, "Холл "), nameFrame(6, false, 0xE, 3, 2, 0, "Этаж "),
          nameFrame(6, false, 0xF, 3, 2, 0, "Школа"), nameFrame(6, true, 0xE, 0, 0, 4, "второй")},
         [](const TUstr& u) {
             const auto& z = kel06(u);
             EXPECT_EQ(z.KonturZon[1].Name.text(), QStringLiteral("Холл      "));
             EXPECT_EQ(z.KonturZon[1].NomZon, 7);
             EXPECT_EQ(z.NameEtaz.text(), QStringLiteral("Этаж второ"));
             EXPECT_EQ(z.Name.text(), QStringLiteral("Школа"));
             EXPECT_EQ(z.NomEtaz, 2);
             EXPECT_EQ(z.NomZdan, 3);
             EXPECT_EQ(z.VersPO, 4);
         }},
        {"KEL-06 parameter report: temperature, set-point, control; parameter 27 ignored", 6,
         {params(6, {0x20, 21, 0x41, 5, 0x3B, 0x12, 0xAA, 0x92})},
         [](const TUstr& u) {
             const auto& z = kel06(u);
             EXPECT_EQ(z.KonturZon[1].Temp, 21);
             EXPECT_EQ(z.KonturZon[2].Ustavka, 5);
             EXPECT_EQ(z.KonturZon[1].Ustavka, kNoValue);
             EXPECT_EQ(z.KonturZon[5].Upr.Tip, 2);
             EXPECT_EQ(z.KonturZon[5].Upr.Vyhodn, 1);
             EXPECT_EQ(z.KonturZon[5].Upr.Dop, 1);
             EXPECT_EQ(z.KonturZon[5].Vyh.Dop, 0);
         }},
        {"KEL-06 settings data: five bytes, zone circuits 0-5, parameters 1-9", 6,
         {frame(6, kKel06Settings, {0x21, 23, 0, 0, 0}), frame(6, kKel06Settings, {0x41, 24, 0, 0}),
          frame(6, kKel06Settings, {0x23, 0x21, 0, 0, 0}), frame(6, kKel06Settings, {0x20, 99, 0, 0, 0}),
          frame(6, kKel06Settings, {0xC1, 25, 0, 0, 0}), frame(6, kKel06Settings, {0xE1, 26, 0, 0, 0})},
         [](const TUstr& u) {
             const auto& z = kel06(u);
             EXPECT_EQ(z.KonturZon[1].Ustavka, 23);
             EXPECT_EQ(z.KonturZon[1].SnizSutNach, 21);
             EXPECT_EQ(z.KonturZon[1].Temp, kNoValue);
             EXPECT_EQ(z.KonturZon[2].Ustavka, kNoValue);
         }},
        {"KEL-06 heating outputs and alarm word", 6,
         {state(6, {0, 0x21}), alarm(6, {0, 0x7F}), alarmStatus(6, {0, 0x41}), alarm(6, {1, 0x7F})},
         [](const TUstr& u) {
             const auto& z = kel06(u);
             EXPECT_EQ(z.KonturZon[0].Vyh.Nagrev, 1);
             EXPECT_EQ(z.KonturZon[1].Vyh.Nagrev, 0);
             EXPECT_EQ(z.KonturZon[5].Vyh.Nagrev, 1);
             EXPECT_EQ(z.AvarKel06, (std::array<std::uint8_t, 7>{1, 0, 0, 0, 0, 0, 1}));
         }},
        {"KEL-06 ignores outside temperature and the heating-circuit decoders", 6,
         {frame(6, kOutsideTempBroadcast, {0xEC, kZdan}), alarm(6, {0, 0x01})},
         [](const TUstr& u) {
             EXPECT_TRUE(isNoValue(u.TempUlic));
             EXPECT_EQ(u.Avar[4], 0);
         }},
    };
    return cases;
}

} // namespace

TEST(Decode, FramesFillTheRecord)
{
    for (const auto& c : decodeCases()) {
        SCOPED_TRACE(c.name);
        auto u = CreateDeviceRecord(c.type, kNomer, 0, kZdan);
        for (const auto& f : c.frames)
            u->Decode(f);
        c.check(*u);
    }
}

TEST(Decode, EveryFrameSetsKeyAndNumber)
{
    auto u = CreateDeviceRecord(8, 0, 0, 0);
    u->Decode(frame(8, kStateReport, {}));
    EXPECT_EQ(u->NomerUstr, kNomer);
    EXPECT_EQ(u->KeyUstr, makeDeviceKey(kNomer, 8));

    auto other = CreateDeviceRecord(5, 0, 0, 0);
    other->Decode(frame(5, kParameterReport, {0x00, 40}));
    EXPECT_EQ(other->NomerUstr, kNomer);
    EXPECT_EQ(other->Kontur[0].Temp, kNoValue);
}

TEST(Decode, HostileCodesNeverLeaveTheRecord)
{
    // Every code with every bit on, in every class of every type: must stay in bounds.
    const std::uint32_t classes[] = {kAlarmReport,   kAlarmClearReport, kNameFirstHalf,        kNameSecondHalf,
                                     kKel06Settings, kStateReport,      kParameterReport,      kAlarmStatus,
                                     kOutsideTempBroadcast};
    for (int type : {2, 4, 6, 8}) {
        auto u = CreateDeviceRecord(type, kNomer, 0, kZdan);
        for (std::uint32_t cls : classes)
            for (std::uint32_t subject = 0; subject < 16; ++subject)
                for (int code = 0; code < 256; code += 4) {
                    TCanFrame f = frame(type, cls | subject << 8,
                                        {code, 0xFF, code + 1, 0xFF, code + 2, 0xFF, code + 3, 0xFF});
                    f.len = 0x0F;
                    u->Decode(f);
                }
        EXPECT_EQ(u->NomerUstr, kNomer);
        EXPECT_LE(u->VremPodpit, TUstr::kMaxVremPodpit);
    }
}
