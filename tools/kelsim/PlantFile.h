#pragma once

#include "can/CanFrame.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kelcon::kelsim {

struct ZdanDesc {
    int number = 0;
    QString name; // at most 10 characters travel in the name frames
};

// A GSM node standing for a remote site; its controllers reach the console over the node link.
struct UzelDesc {
    UzelIdent ident = 0;
    QString name;
};

struct ZonDesc {
    int number = 0; // 0: a plain heating circuit of the floor, not a zone
    QString name;
    int setpoint = 21;
    int controlType = 1; // 0 floor heating, 1 radiators, 2 on/off
};

struct KontrollerDesc {
    int type = 0;
    int number = 0;
    UzelIdent uzel = 0;
    int zdan = 0;
    int version = 0;
    QStringList kontury;       // circuit names (KEL-02, KEL-04, KEL-08)
    int kotly = 0;             // boiler units (KEL-04 up to 2, KEL-08 up to 3)
    bool gvs = false;          // hot-water circuit (KEL-04, KEL-08)
    int etaz = 0;              // KEL-06
    QString etazName;          // KEL-06
    std::vector<ZonDesc> zony; // KEL-06 zone circuits, at most six
};

enum class FaultKind {
    Sensor,          // a temperature sensor breaks: its value becomes "no value" and its alarm bit rises
    Pump,            // a pump trips; the alarm stays until the console resets it
    MainsLost,       // supply power lost for the duration, then back
    Silent,          // the controller stops sending and answering
    AddressConflict, // a second controller with the same number appeared
};

struct FaultPlan {
    qint64 atSeconds = 0; // from the start of the simulation
    FaultKind kind = FaultKind::Sensor;
    UzelIdent uzel = 0;
    int number = 0; // device number; 0 with a node: the node's whole site (mains only)
    int kontur = 1; // circuit (pump, sensor)
    int pump = 1;
    QString sensor;             // "kontur", "obrat", "ulica", "gvs", "recirc", "podacha", "obratkotla"
    qint64 durationSeconds = 0; // 0: until the end (a tripped pump: until an alarm reset)
};

struct PlantDesc {
    std::vector<ZdanDesc> zdaniya;
    std::vector<UzelDesc> uzly;
    std::vector<KontrollerDesc> kontrollery;
    std::vector<FaultPlan> faults;

    const ZdanDesc* zdan(int number) const;
    const UzelDesc* uzel(UzelIdent ident) const;
};

struct PlantParseResult {
    std::optional<PlantDesc> plant;
    QString error; // "line N: ..." when plant is empty
};

PlantParseResult parsePlant(const QString& text);

// One fault as on a plant file's fault line without the word "fault": "<time> <kind> <number>...".
// The device must be one of the plant's.
std::optional<FaultPlan> parseFaultLine(const QString& line, const PlantDesc& plant, QString* error);

// The plant shipped as default.plant, compiled in so that the demo needs no file.
QString defaultPlantText();
PlantDesc defaultPlant();

} // namespace kelcon::kelsim
