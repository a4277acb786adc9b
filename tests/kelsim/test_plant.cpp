#include "Frames.h"
#include "PlantFile.h"
#include "Simulator.h"
#include "can/AlarmText.h"
#include "can/DeviceRecord.h"
#include "core/DateTime.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace kelcon;
using namespace kelcon::kelsim;

namespace {

constexpr UzelIdent kSever = 0x101; // the remote site's GSM node in the default plant

std::uint32_t requestWord(int number, int type, int slot, int param, int op) {
    return makeDeviceKey(number, type) | kServiceBit | std::uint32_t(slot << 13) | std::uint32_t(param << 8) |
           std::uint32_t(op);
}

// The default plant on a clock that starts on a Tuesday afternoon in March (heating season).
struct PlantRun {
    ManualClock clock{QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7))};
    Simulator sim;
    std::vector<OutFrame> frames;
    std::vector<UzelAlarm> alarms;

    explicit PlantRun(PlantDesc plant = defaultPlant()) : sim(std::move(plant), clock) {}

    void play(qint64 seconds) {
        for (qint64 done = 0; done < seconds; done += 5) {
            clock.advance(5);
            take(sim.advance());
        }
    }
    // The answer to one frame of the console, before any more plant time passes.
    std::vector<OutFrame> ask(UzelIdent uzel, const TCanFrame& f) {
        sim.receive(uzel, f);
        SimOutput out = sim.advance();
        std::vector<OutFrame> answer = out.frames;
        take(std::move(out));
        return answer;
    }
    void take(SimOutput out) {
        frames.insert(frames.end(), out.frames.begin(), out.frames.end());
        alarms.insert(alarms.end(), out.alarms.begin(), out.alarms.end());
    }
    qint64 at(const OutFrame& f) const {
        return QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7)).secsTo(f.time);
    }
};

bool from(const OutFrame& f, UzelIdent uzel, int number, int type) {
    return f.uzel == uzel && deviceKey(f.frame.ident) == makeDeviceKey(number, type);
}

std::unique_ptr<TUstr> decoded(const std::vector<OutFrame>& frames, const Kontroller& k) {
    auto rec = CreateDeviceRecord(k.type(), k.number(), k.uzel(), std::uint8_t(k.zdan()));
    for (const auto& f : frames)
        if (from(f, k.uzel(), k.number(), k.type()))
            rec->Decode(f.frame);
    return rec;
}

std::set<std::uint32_t> classesOf(const std::vector<OutFrame>& frames) {
    std::set<std::uint32_t> out;
    for (const auto& f : frames)
        out.insert(reportClass(f.frame.ident));
    return out;
}

} // namespace

TEST(KelsimPlant, SimulatedHourGivesEveryControllerItsReportsAndPlausibleValues) {
    PlantRun run;
    run.play(3600);
    const PlantDesc& plant = run.sim.plant();
    ASSERT_EQ(run.sim.kontrollery().size(), 13u);
    for (const auto& k : run.sim.kontrollery()) {
        SCOPED_TRACE(deviceTitle(k->type(), k->number()).toStdString());
        std::vector<OutFrame> own;
        for (const auto& f : run.frames)
            if (from(f, k->uzel(), k->number(), k->type()))
                own.push_back(f);
        const auto classes = classesOf(own);
        for (std::uint32_t c :
             {kNameFirstHalf, kNameSecondHalf, kParameterReport, kStateReport, kAlarmStatus})
            EXPECT_TRUE(classes.count(c)) << std::hex << c;
        EXPECT_EQ(classes.count(kOutsideTempBroadcast), k->type() == 6 ? 0u : 1u);
        for (const auto& f : own)
            EXPECT_TRUE(f.frame.ident & kExtendedFlag);

        const auto rec = decoded(own, *k);
        EXPECT_EQ(rec->Name.text().trimmed(), plant.zdan(k->zdan())->name);
        EXPECT_EQ(rec->NomZdan, k->zdan());
        const KontrollerDesc& desc = plant.kontrollery[&k - &run.sim.kontrollery()[0]];
        if (k->type() == 6) {
            const auto& z = static_cast<const TUstrKel06&>(*rec);
            EXPECT_EQ(z.NameEtaz.text().trimmed(), desc.etazName);
            EXPECT_EQ(z.NomEtaz, desc.etaz);
            for (std::size_t i = 0; i < desc.zony.size(); ++i) {
                EXPECT_EQ(z.KonturZon[i].Name.text().trimmed(), desc.zony[i].name);
                EXPECT_EQ(z.KonturZon[i].NomZon, desc.zony[i].number);
                EXPECT_EQ(z.KonturZon[i].Ustavka, desc.zony[i].setpoint);
                EXPECT_NEAR(z.KonturZon[i].Temp, desc.zony[i].setpoint, 3) << "zone " << i;
            }
            continue;
        }
        EXPECT_GT(rec->TempUlic, -25);
        EXPECT_LT(rec->TempUlic, 25);
        for (int i = 0; i < desc.kontury.size(); ++i) {
            const auto& c = rec->Kontur[i];
            EXPECT_EQ(c.Name.text().trimmed(), desc.kontury[i]);
            EXPECT_EQ(c.Status.NeIspolz, 0);
            const auto& sim = k->kontury()[i];
            if (sim.pump[0] || sim.pump[1]) {
                EXPECT_GE(c.Temp, 20) << "circuit " << i;
                EXPECT_LE(c.Temp, 95) << "circuit " << i;
            } else {
                // KEL-02 24 lost its only pump of circuit 2 at 8:00 and nobody reset it: the circuit cools
                // down.
                EXPECT_EQ(k->number(), 24);
                EXPECT_EQ(i, 1);
                EXPECT_LT(c.Temp, 25);
            }
        }
        if (k->type() == 8) {
            EXPECT_EQ(rec->Kotelnaya.KolKotlov, desc.kotly);
            EXPECT_EQ(rec->GVS.Ustavka, 55);
            EXPECT_GT(rec->KotTempPodac, 40);
        }
    }
}

TEST(KelsimPlant, StepRequestsChangeTheSettingAndReportTheNewValue) {
    struct Case {
        const char* name;
        UzelIdent uzel;
        int number, type, slot, param, op;
        std::function<int(const TUstr&)> read;
        int before, after;
    };
    const Case cases[] = {
        {"zone set-point up", 0, 31, 6, 0, 1, 1,
         [](const TUstr& r) { return static_cast<const TUstrKel06&>(r).KonturZon[0].Ustavka; }, 21, 22},
        {"hot-water set-point up", 0, 5, 8, 4, 1, 1, [](const TUstr& r) { return r.GVS.Ustavka; }, 55, 56},
        {"daily reduction start, an hour in BCD", 0, 21, 2, 0, 3, 1,
         [](const TUstr& r) { return r.Kontur[0].SnizSutNach; }, 22, 23},
        {"weekly first day wraps", 0, 13, 4, 1, 7, 2,
         [](const TUstr& r) { return r.Kontur[1].SnizNedDenNach; }, 4, 3},
        {"reserve boiler temperature down", 0, 5, 8, 5, 9, 2, [](const TUstr& r) { return r.TempRezervKot; },
         55, 54},
        {"minimum temperature on the remote site", kSever, 7, 8, 0, 1, 1,
         [](const TUstr& r) { return r.Kontur[0].TempMin; }, 25, 26},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantRun run;
        run.play(60);
        Kontroller* k = run.sim.find(c.uzel, c.number);
        ASSERT_TRUE(k);
        EXPECT_EQ(c.read(*decoded(run.frames, *k)), c.before);

        const auto answer =
            run.ask(c.uzel, remoteFrame(requestWord(c.number, c.type, c.slot, c.param, c.op)));
        ASSERT_FALSE(answer.empty());
        EXPECT_EQ(classesOf(answer), std::set<std::uint32_t>{kParameterReport});
        EXPECT_EQ(c.read(*decoded(answer, *k)), c.after);

        // The controller keeps the new value: its later periodic reports carry it too.
        run.frames.clear();
        run.play(120);
        EXPECT_EQ(c.read(*decoded(run.frames, *k)), c.after);
    }
}

TEST(KelsimPlant, RequestsAndCommandsGetTheAnswersOfTheirKind) {
    struct Case {
        const char* name;
        UzelIdent uzel;
        TCanFrame frame;
        std::set<std::uint32_t> classes; // of the answer; empty: no answer
        std::set<int> answering;         // device numbers
    };
    const std::uint8_t weekendBuilding2[5]{30, 1, 2, 0, 0};
    const std::uint8_t time[6]{0x15, 0x14, 1, 9, 3, 21};
    const Case cases[] = {
        {"presence poll", 0, remoteFrame(requestWord(22, 2, 0, 0, 0)), {kStateReport}, {22}},
        {"device data",
         0,
         remoteFrame(requestWord(12, 4, 7, 0, 3)),
         {kParameterReport, kStateReport, kOutsideTempBroadcast, kAlarmStatus},
         {12}},
        {"circuit data",
         0,
         remoteFrame(requestWord(6, 8, 1, 0, 4)),
         {kNameFirstHalf, kNameSecondHalf, kParameterReport},
         {6}},
        {"all names", 0, remoteFrame(requestWord(33, 6, 7, 0, 5)), {kNameFirstHalf, kNameSecondHalf}, {33}},
        {"alarm reset without alarms", 0, remoteFrame(requestWord(21, 2, 7, 0, 6)), {kAlarmStatus}, {21}},
        {"a remote-site controller is not on the own bus",
         0,
         remoteFrame(requestWord(7, 8, 7, 0, 3)),
         {},
         {}},
        {"a controller of another type with that number", 0, remoteFrame(requestWord(5, 2, 7, 0, 3)), {}, {}},
        {"weekend for the zones of building 2",
         0,
         dataFrame(makeDeviceKey(0, 6) | 0xA600, weekendBuilding2, 5),
         {kParameterReport},
         {33, 34}},
        {"time broadcast", 0, dataFrame(kTimeBroadcastWord, time, 6), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlantRun run;
        run.play(30);
        const auto answer = run.ask(c.uzel, c.frame);
        EXPECT_EQ(classesOf(answer), c.classes);
        std::set<int> answering;
        for (const auto& f : answer)
            answering.insert(deviceNumber(f.frame.ident));
        EXPECT_EQ(answering, c.answering);
    }
}

TEST(KelsimPlant, WeekendCommandReachesTheZonesAndTheirReports) {
    PlantRun run;
    run.play(30);
    const std::uint8_t zone202[5]{30, 1, 1, 2, 202};
    const auto answer = run.ask(0, dataFrame(makeDeviceKey(32, 6) | 0xA600, zone202, 5));
    const auto rec = decoded(answer, *run.sim.find(0, 32));
    const auto& z = static_cast<const TUstrKel06&>(*rec);
    EXPECT_EQ(z.KonturZon[1].Upr.Vyhodn, 1) << "zone 202 is the second zone circuit of floor 2";
    EXPECT_EQ(z.KonturZon[0].Upr.Vyhodn, 0);
    EXPECT_TRUE(run.sim.find(0, 32)->kontury()[1].weekend);
    EXPECT_FALSE(run.sim.find(0, 31)->kontury()[1].weekend);
}

TEST(KelsimPlant, DefaultScheduleRaisesItsAlarmsAtTheirTimes) {
    PlantRun run;
    run.play(600);
    struct Expected {
        qint64 at;
        UzelIdent uzel;
        std::uint32_t ident;
        std::vector<std::uint8_t> data;
        QString line; // as the console words it
    };
    // Pump 1 of circuit 1 of KEL-08 5: word 2 bit 0. Sensor of circuit 3 of KEL-04 12: word 0 bit 2.
    // Mains on the remote site: word 5 bit 1, then bit 4 when it is back. Pump 1 of circuit 2 of KEL-02 24:
    // word 1 bit 2.
    const QString sever = QStringLiteral(" на узле\"Поселок Северный\"");
    const std::vector<Expected> expected{
        {40,
         0,
         0x00A80080,
         {0x02, 0x01},
         QStringLiteral("Авария 1 насоса 1 контура  на KEL-08 (Школа №5) адрес № 0005")},
        {120,
         0,
         0x01880040,
         {0x00, 0x04},
         QStringLiteral("Авария датчика температуры 3 контура  на KEL-04 (Школа №5) адрес № 0012")},
        {180,
         kSever,
         0x00E80080,
         {0x05, 0x02},
         QStringLiteral("Авария - нет напряжения  на KEL-08 (Северный) адрес № 0007") + sever},
        {300,
         kSever,
         0x00E80080,
         {0x05, 0x10},
         QStringLiteral("Внимание: появилось напряжение, авария снята  на KEL-08 (Северный) адрес № 0007") +
             sever},
        {360,
         0,
         0x8000FF0Au | makeDeviceKey(34, 6),
         {},
         QStringLiteral("Конфликт адресов KEL-06 адрес № 0034")},
        {480,
         kSever,
         0x03080020,
         {0x01, 0x04},
         QStringLiteral("Авария 1 насоса 2 контура  на KEL-02 (Северный) адрес № 0024") + sever},
    };
    AlarmNames names;
    names.buildingName = [&](UzelIdent uzel, int nomer, int) {
        const Kontroller* k = run.sim.find(uzel, nomer);
        return k ? run.sim.plant().zdan(k->zdan())->name : QString();
    };
    names.nodeName = [](UzelIdent uzel) {
        return uzel == kSever ? QStringLiteral("Поселок Северный") : QString();
    };
    std::vector<Expected> got;
    for (const auto& f : run.frames) {
        const std::uint32_t c = reportClass(f.frame.ident);
        if (c == kAlarmReport || c == kAddressConflict) {
            const AlarmTextResult text = AlarmText(f.frame, f.uzel, names);
            EXPECT_EQ(text.flag, 1);
            got.push_back(
                {run.at(f), f.uzel, f.frame.ident,
                 std::vector<std::uint8_t>(f.frame.data.begin(), f.frame.data.begin() + f.frame.dataLength()),
                 text.text});
        }
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].at, expected[i].at);
        EXPECT_EQ(got[i].uzel, expected[i].uzel);
        EXPECT_EQ(got[i].ident, expected[i].ident);
        EXPECT_EQ(got[i].data, expected[i].data);
        EXPECT_EQ(got[i].line.toStdString(), expected[i].line.toStdString());
    }
    EXPECT_EQ(makeDeviceKey(5, 8), 0x00A80080u);

    // The GSM node itself tells of the supply power: lost at 3:00, back at 5:00.
    ASSERT_EQ(run.alarms.size(), 2u);
    EXPECT_TRUE(run.alarms[0].raised);
    EXPECT_FALSE(run.alarms[1].raised);
    for (const auto& a : run.alarms) {
        EXPECT_EQ(a.uzel, kSever);
        EXPECT_EQ(a.kind, '8');
    }
}

TEST(KelsimPlant, TrippedPumpHandsOverToItsTwinUntilTheAlarmIsReset) {
    PlantRun run;
    run.play(60);
    Kontroller* k = run.sim.find(0, 5);
    auto rec = decoded(run.frames, *k);
    EXPECT_EQ(rec->Kontur[0].Nasos.Avar1, 1);
    EXPECT_EQ(rec->Kontur[0].Nasos.Rabota1, 0);
    EXPECT_EQ(rec->Kontur[0].Nasos.Rabota2, 1);

    const auto answer = run.ask(0, remoteFrame(requestWord(5, 8, 7, 0, 6)));
    bool allCleared = false;
    for (const auto& f : answer)
        allCleared =
            allCleared || (reportClass(f.frame.ident) == kAlarmClearReport && f.frame.dataLength() == 0);
    EXPECT_TRUE(allCleared);
    for (const auto& f : answer)
        rec->Decode(f.frame);
    EXPECT_EQ(rec->Kontur[0].Nasos.Avar1, 0);

    run.play(30);
    rec = decoded(run.frames, *k);
    EXPECT_EQ(rec->Kontur[0].Nasos.Rabota1, 1);
    EXPECT_EQ(rec->Kontur[0].Nasos.Rabota2, 0);
}

TEST(KelsimPlant, SilentControllerNeitherSendsNorAnswersUntilItsTimeIsUp) {
    PlantRun run;
    run.play(600);
    EXPECT_TRUE(run.sim.isSilent(0, 23));
    EXPECT_TRUE(run.ask(0, remoteFrame(requestWord(23, 2, 0, 0, 0))).empty());
    run.play(2400);
    qint64 lastBefore = -1, firstAfter = -1;
    for (const auto& f : run.frames) {
        if (!from(f, 0, 23, 2))
            continue;
        if (run.at(f) < 240)
            lastBefore = run.at(f);
        else if (firstAfter < 0)
            firstAfter = run.at(f);
    }
    EXPECT_GE(lastBefore, 200);
    EXPECT_GE(firstAfter, 45 * 60 + 240) << "silent from 4:00 for 45 minutes";
    EXPECT_LE(firstAfter, 45 * 60 + 240 + 20);
}

TEST(KelsimPlantFile, RejectsWhatCannotStandForAPlant) {
    const QString head = QStringLiteral("building 1 \"Дом\"\nnode 101 \"Узел\"\n");
    struct Case {
        const char* name;
        QString body;
        const char* error; // part of the message; empty: accepted
    };
    const Case cases[] = {
        {"a good plant", "kel02 3 building=1 circuits=\"А;Б\"\nfault 1:00 pump 3 circuit=2", ""},
        {"the same number on another bus",
         "kel02 3 building=1 circuits=А\nkel08 3 building=1 node=101 circuits=А", ""},
        {"unknown line", "kel09 3 building=1", "line 3: unknown line kind"},
        {"name too long", "kel02 3 building=1 circuits=\"Одиннадцать\"", "longer than 10"},
        {"unknown building", "kel02 3 building=2 circuits=А", "unknown building 2"},
        {"unknown node", "kel02 3 building=1 node=102 circuits=А", "unknown node"},
        {"number twice on one bus", "kel02 3 building=1 circuits=А\nkel04 3 building=1 circuits=А",
         "used twice"},
        {"KEL-02 with boilers", "kel02 3 building=1 circuits=А boilers=1", "no boilers"},
        {"too many circuits", "kel02 3 building=1 circuits=\"А;Б;В\"", "1-2 circuits"},
        {"zone without name", "kel06 3 building=1 floor=1 floorname=Э zones=\"101\"", "number:name"},
        {"fault for an unknown device", "kel02 3 building=1 circuits=А\nfault 0:10 pump 4",
         "unknown device 4"},
        {"whole-site fault that is not mains", "kel02 3 building=1 circuits=А\nfault 0:10 silent 0@101",
         "number 0"},
        {"unclosed quote", "kel02 3 building=1 circuits=\"А", "unclosed quote"},
        {"no controllers", "", "no controllers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = parsePlant(head + c.body);
        if (*c.error == 0) {
            EXPECT_TRUE(r.plant) << r.error.toStdString();
        } else {
            EXPECT_FALSE(r.plant);
            EXPECT_TRUE(r.error.contains(QString::fromUtf8(c.error))) << r.error.toStdString();
        }
    }
    const PlantDesc plant = defaultPlant();
    EXPECT_EQ(plant.kontrollery.size(), 13u);
    ASSERT_EQ(plant.uzly.size(), 1u);
    EXPECT_EQ(plant.uzly[0].ident, kSever);
}
