#pragma once

#include "Frames.h"
#include "PlantFile.h"

#include <QDateTime>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace kelcon::kelsim {

// Reduction settings of a circuit, hot water or zone; hours and days as plain numbers.
struct Reductions {
    int sutUm = 0, sutBeg = 22, sutEnd = 6;
    int nedUm = 0, nedBegTime = 18, nedBegDay = 4, nedEndTime = 6, nedEndDay = 0;

    // The reduction in force at this local time, 0 when none.
    int activeAt(const QDateTime& t) const;
};

struct KonturSim {
    QString name;
    bool used = true;
    // settings
    int minTemp = 0;
    Reductions red;
    int curve = 5; // 1-10 the built-in curves, 11 the user curve
    int userPlus8 = 45, userMinus8 = 70;
    int returnLimit = 70;
    bool off = false, twoWay = false, noValve = false, twoPumps = false;
    // plant
    double supply = 40, ret = 35, valve = 0.3, target = 40;
    bool opening = false, closing = false;
    std::array<bool, 2> pump{};
    std::array<bool, 2> pumpTripped{};
    bool supplyBroken = false, returnBroken = false;
    // KEL-06 zone circuit
    int zoneNumber = 0, setpoint = 21, controlType = 1;
    bool weekend = false, heating = false, zoneBroken = false;
    double zoneTemp = 20;
};

struct GvsSim {
    bool present = false, off = false;
    int setpoint = 55, recDiff = 5;
    Reductions red;
    double temp = 50, recTemp = 45;
    bool pump = false, recPump = false;
    bool broken = false, recBroken = false;
};

struct KotelUnit {
    bool pump = false, burner = false, stage2 = false;
    int modulation = 0, postRun = 0, onSeconds = 0;
};

struct KotelnayaSim {
    int count = 0;
    bool rotation = true, singleStage = false, modulating = false, reserve = false;
    int setpoint = 0; // 0: adaptive, from the circuits' demand
    int minReturn = 10, reserveTemp = 55, levels = 4;
    double supply = 60, ret = 45;
    std::array<KotelUnit, 3> units{};
    bool supplyBroken = false, returnBroken = false;
};

struct MakeupSim {
    double pressure = 1.9;
    bool valve = false;
    int time = 0, counter = 0;
};

// One simulated controller: its settings, its piece of plant, and the frames it sends.
class Kontroller {
public:
    Kontroller(const KontrollerDesc& desc, const ZdanDesc& zdan, std::uint32_t seed);

    int type() const { return type_; }
    int number() const { return number_; }
    UzelIdent uzel() const { return uzel_; }
    int zdan() const { return zdanNumber_; }
    int etaz() const { return etaz_; }
    std::uint32_t key() const { return makeDeviceKey(number_, type_); }

    // One second of plant time; `local` is the controller's own clock, which the time broadcast sets.
    void step(const QDateTime& local, double outside);
    // The reports due after the last step: periodic ones by the seconds since power-on, and changes at once.
    void reportsDue(std::vector<TCanFrame>& out);
    bool powered() const { return mains_ || type_ == 8; } // a KEL-08 rides out a mains loss on its battery

    // A frame the console addressed to this controller (or to all of its type).
    void handleRequest(std::uint32_t word, std::vector<TCanFrame>& out);
    void handleCommand(const TCanFrame& f, std::vector<TCanFrame>& out);

    // Faults. A sensor name as in the plant file; false when this controller has no such sensor.
    bool breakSensor(const QString& sensor, int kontur, bool broken);
    bool tripPump(int kontur, int pump);
    void setMains(bool on);
    bool hasMains() const { return mains_; }

    void allNames(std::vector<TCanFrame>& out) const;
    void allData(std::vector<TCanFrame>& out);
    void alarmStatus(std::vector<TCanFrame>& out) const;

    // Read-only views for tests and the status print.
    const std::vector<KonturSim>& kontury() const { return kontury_; }
    const GvsSim& gvs() const { return gvs_; }
    const KotelnayaSim& kotly() const { return kotly_; }
    std::uint8_t alarmWord(int code) const { return avar_[code]; }
    bool weekend() const { return weekend_; }
    bool stopped() const { return stopped_; }

private:
    // physics (KontrollerPhysics.cpp)
    double curveTarget(const KonturSim& k, double outside) const;
    void stepKontur(KonturSim& k, const QDateTime& local, double outside, double source);
    void stepZone(KonturSim& z, const QDateTime& local, double outside);
    void stepKotly(const QDateTime& local, double demand);
    void stepGvs(const QDateTime& local);
    void stepMakeup();
    void updateAlarms();

    // reports (KontrollerReports.cpp)
    std::vector<Pair> temperaturePairs() const;
    std::vector<Pair> slotPairs(int slot) const;
    std::vector<Pair> devicePairs() const;
    std::vector<std::uint8_t> stateBytes() const;
    std::vector<Pair> statePairs() const;
    void nameFrames(int object, const QString& name, int d1, int d2, std::vector<TCanFrame>& out) const;
    void alarmChanges(std::vector<TCanFrame>& out);
    std::uint8_t statusByte(const KonturSim& k) const;
    std::uint8_t konturParam(const KonturSim& k, int param) const;
    int slotCount() const;

    // requests (KontrollerRequests.cpp)
    bool stepSetting(int slot, int param, int dir, std::vector<std::uint8_t>& codes);
    std::vector<Pair> pairsForCodes(const std::vector<std::uint8_t>& codes) const;
    void resetAlarms();

    int type_ = 0, number_ = 0;
    UzelIdent uzel_ = 0;
    int zdanNumber_ = 0, version_ = 0, etaz_ = 0;
    QString zdanName_, etazName_;
    std::vector<KonturSim> kontury_; // KEL-06: zone circuits
    GvsSim gvs_;
    KotelnayaSim kotly_;
    MakeupSim makeup_;
    bool weekend_ = false, stopped_ = false, mains_ = true, mainsBack_ = false;
    int startUp_ = 120;  // seconds of start-up after power-on
    qint64 uptime_ = -1; // seconds since power-on, -1 before the first step
    int mainsBackShown_ = 0;
    double outside_ = 0;
    bool outsideBroken_ = false;
    std::array<std::uint8_t, 7> avar_{};     // alarm words as the controller knows them
    std::array<std::uint8_t, 7> avarSent_{}; // as last told to the console
    std::vector<std::uint8_t> stateSent_;
    int settingsSlot_ = 0;
    std::mt19937 rng_;
};

} // namespace kelcon::kelsim
