#pragma once

#include "Kontroller.h"
#include "PlantFile.h"
#include "core/DateTime.h"

#include <QDateTime>

#include <memory>
#include <vector>

namespace kelcon::kelsim {

// A frame leaving a controller, on the console's own bus (uzel 0) or on a GSM node's site.
struct OutFrame {
    UzelIdent uzel = 0;
    QDateTime time;
    TCanFrame frame;
};

// An alarm of a GSM node itself, as its "SAP" message tells it.
struct UzelAlarm {
    UzelIdent uzel = 0;
    QDateTime time;
    bool raised = true;
    char kind = ' '; // '8' supply power, 'F' operating-mode command, anything else a plain alarm
    QString text;    // plain alarms only, at most 21 characters
};

// The analog sensors a GSM node reads itself ("SDP").
struct SensorReading {
    std::uint8_t code = 0;
    std::uint8_t channel = 0;
    float value = 0;
    QString name;
};

struct UzelSensors {
    UzelIdent uzel = 0;
    QDateTime time;
    std::vector<SensorReading> sensors;
};

struct SimOutput {
    std::vector<OutFrame> frames;
    std::vector<UzelAlarm> alarms;
    std::vector<UzelSensors> sensors;
    std::vector<QString> events; // faults starting and ending, for the simulator's log

    bool empty() const { return frames.empty() && alarms.empty() && sensors.empty() && events.empty(); }
};

// The whole plant: the controllers, the outside weather of the buildings and the fault schedule.
// Time comes from the injected clock; each call to advance() plays the seconds since the last call.
class Simulator {
public:
    Simulator(PlantDesc plant, const Clock& clock, std::uint32_t seed = 1);
    ~Simulator();

    // Plays the plant up to the clock's "now", second by second, and returns what it sent meanwhile
    // together with the answers to requests received since the last call.
    SimOutput advance();

    // A frame from the console, on the own bus (uzel 0) or handed to a GSM node in an "SRC".
    void receive(UzelIdent uzel, const TCanFrame& frame);

    // Faults by command; the scheduled ones come from the plant.
    bool applyFault(const FaultPlan& fault);
    void healFault(const FaultPlan& fault);

    const PlantDesc& plant() const { return plant_; }
    const std::vector<std::unique_ptr<Kontroller>>& kontrollery() const { return kontrollery_; }
    Kontroller* find(UzelIdent uzel, int number);
    bool isSilent(UzelIdent uzel, int number) const;
    double outsideTemperature(int zdan) const;
    qint64 elapsedSeconds() const { return tick_; }

private:
    struct ActiveFault {
        FaultPlan plan;
        qint64 endTick = -1;
    };

    void stepSecond();
    void runSchedule();
    void readSensors(UzelIdent uzel);
    void send(const Kontroller& k, const std::vector<TCanFrame>& frames);
    void note(const FaultPlan& fault, const QString& what);
    // The controllers a console frame reaches; number 0 of a type reaches all of them where `broadcast`.
    std::vector<Kontroller*> targets(UzelIdent uzel, std::uint32_t word, bool broadcast);

    PlantDesc plant_;
    const Clock& clock_;
    QDateTime start_;
    QDateTime simNow_;
    qint64 tick_ = 0;
    std::vector<std::unique_ptr<Kontroller>> kontrollery_;
    std::vector<ActiveFault> active_;
    std::vector<std::pair<UzelIdent, int>> silent_;
    std::vector<FaultPlan> pending_; // scheduled faults not yet started, by time
    SimOutput out_;                  // everything sent since the last advance(), answers included
    std::vector<qint64> clockSkew_;  // per controller, seconds its own clock is off until a time broadcast
    std::uint32_t seed_;
};

} // namespace kelcon::kelsim
