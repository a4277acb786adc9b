#pragma once

#include "can/CanFrame.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>

namespace kelcon {

// Temperatures arrive as bytes; 150 means "no sensor / no reading". Fields that keep the byte
// signed (the outside temperature) hold it as -106, so both forms count as no value.
constexpr bool isNoValue(int temperature) { return temperature == kNoValue || temperature == kNoValueSigned; }

// A name as the controllers send it: ten Windows-1251 characters and a terminating 0. The
// controllers fill it in two halves of five, so the characters are kept as bytes until shown.
struct TName10 {
    std::array<char, 11> c{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', '\0'};

    // Characters up to the first 0, as a C string of the controller would read.
    QString text() const;
};

// One analog sensor reported by a GSM node (pressures and the like).
struct TAnalogDatc {
    std::uint8_t Kod = 0; // 0 = entry not used
    float Znac = 0.0f;
    QString Name;
};

// Common part of every circuit: heating circuit, hot water, KEL-06 zone circuit.
struct BaseKontur {
    TName10 Name;
    std::int32_t Temp = kNoValue; // supply temperature (zone temperature on KEL-06), °C
    std::uint8_t KrivPlus8 = 0;   // user heating curve: supply temperature at +8 °C outside, 0 = not set
    std::uint8_t KrivMinus8 = 0;  // the same at -8 °C outside
    std::uint8_t SnizSut = 0;     // daily reduction, °C, 0 = none
    std::uint8_t SnizSutNach = 0; // daily reduction start hour
    std::uint8_t SnizSutKon = 0;  // daily reduction end hour
    std::uint8_t SnizNed = 0;     // weekly reduction, °C, 0 = none
    std::uint8_t SnizNedNach = 0; // weekly reduction start hour
    std::uint8_t SnizNedKon = 0;  // weekly reduction end hour
    std::uint8_t SnizNedDenNach = 0; // weekly reduction first day, 0-6 = Monday-Sunday
    std::uint8_t SnizNedDenKon = 0;  // weekly reduction last day
};

struct TKonturStatus {
    std::uint8_t StaroePO = 0;  // set by controllers with the first firmware
    std::uint8_t Otkl = 0;      // circuit switched off
    std::uint8_t Klap2Hod = 0;  // two-way valve (else three-way)
    std::uint8_t BezKlapa = 0;  // no valve
    std::uint8_t Zapusk = 0;    // start-up in progress
    std::uint8_t NeIspolz = 1;  // circuit not used
    std::uint8_t TipGVS = 0;    // circuit of hot-water type
    std::uint8_t Recirc = 0;    // recirculation circuit
};

struct TKlap {
    std::uint8_t Otkr = 0; // opening
    std::uint8_t Zakr = 0; // closing
    std::uint8_t Avar = 0;
};

struct TNasos {
    std::uint8_t Rabota1 = 0; // pump 1 running
    std::uint8_t Rabota2 = 0; // pump 2 running
    std::uint8_t DvaNasosa = 0;
    std::uint8_t Avar1 = 0;
    std::uint8_t Avar2 = 0;
};

// Heating circuit of KEL-02, KEL-04, KEL-08.
struct TKonturKel : BaseKontur {
    TKonturStatus Status;
    std::int32_t TempObrat = kNoValue; // return temperature
    std::uint8_t TempMin = 0;          // 0 = none
    std::uint8_t OgranObrat = 0;       // return limit (KEL-02)
    std::uint8_t Kriv = 0;             // bit 7: curve by return; bits 0-6: curve number, 0 none, 11 user curve
    TKlap Klap;
    TNasos Nasos;
};

struct TGVSStatus {
    std::uint8_t Otkl = 0;
    std::uint8_t NeIspolz = 1;
};

// Hot water with recirculation; Temp is the hot-water temperature.
struct TGVSKel08 : BaseKontur {
    TGVSStatus Status;
    std::uint8_t Ustavka = 0;
    std::uint8_t TempRecirc = kNoValue;
    std::uint8_t RaznRecirc = 0; // recirculation difference
    std::uint8_t NasosGVS = 0;   // hot-water pump running
    std::uint8_t NasosRecirc = 0; // recirculation pump running
};

struct TKotelUnit {
    std::uint8_t Nasos = 0;
    std::uint8_t Gorelka = 0;    // burner on
    std::uint8_t Stup2 = 0;      // second stage on
    std::uint8_t GorelkaDop = 0; // a further burner flag the windows do not show
    std::uint8_t Rezerv = 0;     // not used
    std::uint8_t UrovModul = 0;  // modulation level
};

struct TKotelnaya {
    std::uint16_t KolKotlov = 0;
    std::uint8_t Rotacia = 1;
    std::uint8_t OdnoStup = 1; // single-stage burners
    std::uint8_t Modul = 0;    // modulating burners
    std::uint8_t Rezerv = 0;   // a reserve boiler is present
    std::uint8_t NeIspolz = 1; // boiler room not used
};

struct TSostoyanie {
    std::uint8_t VseKotlyStop = 0;  // all boilers stopped
    std::uint8_t VseStop = 0;       // all equipment stopped
    std::uint8_t Ogranich = 0;      // boilers in limitation mode
    std::uint8_t NuzhnaPodpit = 0;  // make-up required
    std::uint8_t NevozmPodpit = 0;  // make-up impossible
    std::uint8_t Separac = 0;       // separation mode
};

// Mode record: [0] weekend, [1] stopped, [2]-[4] further mode bits of the controller.
constexpr int kRezimVyhodn = 0;
constexpr int kRezimStop = 1;

// Alarm record, one flag per alarm:
//  0 no mains voltage          1 mains voltage was lost     2, 3 return sensor of circuit 1, 2 (KEL-02)
//  4-7 sensor of circuits 1-4  8 hot-water sensor           9 recirculation sensor
// 10 boiler supply sensor     11 boiler return sensor      12 outside sensor
// 13 hot-water pump           14 recirculation pump        15 service interval ended
// 16 make-up too long         17 make-up maximum exceeded  18 make-up valve
// 19 no source water          20 separation too long       21 gas pressure
// 22 CO level 1               23 CO level 2                24 methane
// 25 fire                     26 heat-carrier pressure     27 common chimney
// 28 boiler(s)                29 security alarm            30-32 pump of boiler 1-3
// 33 short circuit in the sensor line   34 critical alarm (KEL-04)   35 non-critical alarm (KEL-04)
constexpr int kAvarCount = 36;

// The opened controller as the windows see it (KEL-02, KEL-04, KEL-08); filled by Decode.
class TUstr {
public:
    virtual ~TUstr() = default;

    // Applies one frame of this controller to the record.
    virtual void Decode(const TCanFrame& frame);

    std::uint16_t TypeUstr = 0;
    std::int32_t NomerUstr = 0;
    std::uint32_t KeyUstr = 0; // identifier word & kDeviceKeyMask
    UzelIdent Uzel = 0;
    std::uint8_t NomZdan = 0;
    std::uint8_t VersPO = 0; // software version
    TName10 Name;
    std::array<TAnalogDatc, 3> AnalogDatc{};
    std::uint8_t KlapPodpit = 0;             // make-up valve open
    std::int8_t TempUlic = kNoValueSigned;   // outside temperature, signed
    std::uint8_t KotUstavka = 0;             // boiler set-point, 0 = adaptive
    std::uint8_t KotMinObrat = 0;            // boiler minimum return temperature
    std::uint8_t KotTempPodac = kNoValue;
    std::uint8_t KotTempObrat = kNoValue;
    std::uint8_t KolModul = 0;               // number of modulation levels
    std::uint8_t TempRezervKot = 0;          // reserve boiler temperature
    std::uint32_t VremPodpit = 0;            // make-up time, seconds, at most kMaxVremPodpit
    std::uint32_t SchetPodpit = 0;           // make-up counter
    std::array<TKotelUnit, 3> Kotel{};
    TKotelnaya Kotelnaya;
    TGVSKel08 GVS;
    std::array<TKonturKel, 4> Kontur{};
    std::array<std::uint8_t, kAvarCount> Avar{};
    std::array<std::uint8_t, 5> Rezim{};
    std::uint8_t CurKontur = 0; // set by the windows
    TSostoyanie Sostoyanie;

    static constexpr std::uint32_t kMaxVremPodpit = 59999;
};

// KEL-06 zone circuit; Temp is the zone temperature.
struct KonturKel06 : BaseKontur {
    struct Upravl {
        std::uint16_t Tip = 0; // 0 floor heating, 1 radiators, 2 on/off
        std::uint8_t Vyhodn = 0; // weekend mode
        std::uint8_t Dop = 0;    // a further mode bit
    };
    struct Vyhod {
        std::uint8_t Nagrev = 0; // heating on
        std::uint8_t Dop = 0;
    };

    std::uint8_t Ustavka = kNoValue; // set-point, none until the first value arrives
    std::uint8_t NomZon = 0;         // 0 = a heating circuit, not a zone
    Upravl Upr;
    Vyhod Vyh;
};

// KEL-06 zone controller of one floor. The TUstr part's circuits, hot water and boilers stay unused.
class TUstrKel06 : public TUstr {
public:
    void Decode(const TCanFrame& frame) override;

    std::uint8_t NomEtaz = 0;
    TName10 NameEtaz;
    std::array<std::uint8_t, 7> AvarKel06{}; // bits 0-6 of the controller's alarm word
    std::array<KonturKel06, 6> KonturZon{};
    std::uint8_t CurZona = 0;
};

// TUstrKel06 for type 6, TUstr for any other type. The key carries the extended-frame flag as
// the bus does; the device number stays 0 until the first frame is decoded.
std::unique_ptr<TUstr> CreateDeviceRecord(int type, int number, UzelIdent uzel, std::uint8_t nomZdan);

} // namespace kelcon
