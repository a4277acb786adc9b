#include "DeviceRecord.h"

#include <algorithm>

namespace kelcon {

namespace {

// The length nibble can claim up to 15 bytes; a frame never carries more than eight.
int payloadLength(const TCanFrame& f) { return std::min(f.dataLength(), 8); }

// (code, value) pairs from data byte 0 on; a trailing odd byte is no pair.
template <class Fn> void forEachPair(const TCanFrame& f, Fn fn)
{
    const int len = payloadLength(f);
    for (int i = 0; 2 * i + 1 < len; ++i)
        fn(f.data[2 * i], f.data[2 * i + 1]);
}

// The single state or alarm byte that KEL-02 and KEL-06 send as pair (0, bits).
bool firstPairIsCodeZero(const TCanFrame& f) { return payloadLength(f) >= 2 && f.data[0] == 0; }

constexpr std::uint8_t bit(std::uint8_t v, int n) { return std::uint8_t((v >> n) & 1); }
constexpr std::uint8_t bcd(std::uint8_t b) { return std::uint8_t((b & 0x0F) + (b >> 4) * 10); }

// Name characters first+1 .. first+5 from data bytes 3-7, as far as the frame carries them.
void putNameHalf(TName10& name, int first, const TCanFrame& f)
{
    const int len = payloadLength(f);
    for (int i = 0; i < 5 && 3 + i < len; ++i)
        name.c[std::size_t(first + i)] = char(f.data[std::size_t(3 + i)]);
}

// Parameters 2-9 are the reductions, shared by circuits, hot water and KEL-06 zones.
void applySniz(BaseKontur& k, int param, std::uint8_t v)
{
    switch (param) {
    case 2: k.SnizSut = v; break;
    case 3: k.SnizSutNach = bcd(v); break;
    case 4: k.SnizSutKon = bcd(v); break;
    case 5: k.SnizNed = v; break;
    case 6: k.SnizNedNach = bcd(v); break;
    case 7: k.SnizNedDenNach = v; break;
    case 8: k.SnizNedKon = bcd(v); break;
    case 9: k.SnizNedDenKon = v; break;
    default: break;
    }
}

// ---- KEL-02, KEL-04, KEL-08 ----

void decodeName(TUstr& u, const TCanFrame& f, bool secondHalf)
{
    const unsigned s = (f.ident >> 8) & 0xF;
    const unsigned circuits = u.TypeUstr == 2 ? 2 : 4;
    TName10* name = s == 0xF ? &u.Name : s < circuits ? &u.Kontur[s].Name : nullptr;
    if (!name)
        return;
    const int len = payloadLength(f);
    if (!secondHalf) {
        putNameHalf(*name, 0, f);
        if (len > 0)
            u.NomZdan = f.data[0];
        return;
    }
    putNameHalf(*name, 5, f);
    if (len > 2) {
        // A KEL-02 reporting 0 or 1 is treated as version 2, the oldest the windows tell apart.
        u.VersPO = u.TypeUstr == 2 ? std::max<std::uint8_t>(f.data[2], 2) : f.data[2];
    }
}

void decodeKonturStatus(TUstr& u, TKonturKel& k, std::uint8_t v)
{
    TKonturStatus& s = k.Status;
    switch (u.TypeUstr) {
    case 2:
        (u.VersPO != 0 ? s.TipGVS : s.StaroePO) = bit(v, 0);
        k.Nasos.DvaNasosa = bit(v, 4);
        break;
    case 4:
        s.Recirc = bit(v, 0);
        break;
    case 8:
        if (u.VersPO == 0)
            s.StaroePO = bit(v, 0);
        k.Nasos.DvaNasosa = bit(v, 4);
        break;
    default:
        return;
    }
    s.Otkl = bit(v, 1);
    s.Klap2Hod = bit(v, 2);
    s.BezKlapa = bit(v, 3);
    s.Zapusk = bit(v, 6);
    s.NeIspolz = bit(v, 7);
}

void decodeKonturParam(TUstr& u, TKonturKel& k, int param, std::uint8_t v)
{
    const bool kel02 = u.TypeUstr == 2;
    switch (param) {
    case 0: k.Temp = v; break;
    case 1: k.TempMin = v; break;
    case 10: decodeKonturStatus(u, k, v); break;
    case 11:
        // First-firmware KEL-02 and KEL-08 count curves from 0 and mark "no curve" in status [0].
        if (u.TypeUstr == 4 || u.VersPO != 0)
            k.Kriv = v;
        else
            k.Kriv = k.Status.StaroePO ? 0 : std::uint8_t(v + 1);
        break;
    case 12:
        if (kel02)
            k.TempObrat = v;
        break;
    case 13:
        if (kel02)
            k.OgranObrat = v;
        break;
    case 14: k.KrivPlus8 = v; break;
    case 16: k.KrivMinus8 = v; break;
    default: applySniz(k, param, v); break;
    }
}

void decodeRezim(TUstr& u, std::uint8_t v)
{
    const int bits = u.TypeUstr == 8 ? 5 : 2;
    for (int i = 0; i < bits; ++i)
        u.Rezim[std::size_t(i)] = bit(v, i);
}

void decodeSostoyanie(TUstr& u, std::uint8_t v)
{
    TSostoyanie& s = u.Sostoyanie;
    if (u.TypeUstr == 4) {
        s.Ogranich = bit(v, 0);
        return;
    }
    s.VseStop = bit(v, 0);
    s.VseKotlyStop = bit(v, 1);
    s.Ogranich = bit(v, 2);
    s.NuzhnaPodpit = bit(v, 3);
    s.NevozmPodpit = bit(v, 4);
    s.Separac = bit(v, 5);
}

void decodeKotelnaya(TUstr& u, std::uint8_t v)
{
    TKotelnaya& k = u.Kotelnaya;
    if (u.TypeUstr == 4) {
        k.KolKotlov = bit(v, 2) ? 2 : 1;
        k.Rotacia = bit(v, 0);
        k.OdnoStup = bit(v, 3);
        k.Rezerv = bit(v, 4);
    } else {
        k.KolKotlov = std::uint16_t(1 + bit(v, 0) + 2 * bit(v, 1));
        k.Rotacia = bit(v, 2);
        k.OdnoStup = bit(v, 3);
        k.Modul = bit(v, 4);
        k.Rezerv = bit(v, 5);
    }
    k.NeIspolz = bit(v, 7);
}

void setVremPodpit(TUstr& u, std::uint32_t t) { u.VremPodpit = std::min(t, TUstr::kMaxVremPodpit); }

// Codes from 0x80: hot water, boilers, modes and make-up of KEL-04 and KEL-08.
void decodeKotelCode(TUstr& u, std::uint8_t code, std::uint8_t v)
{
    const bool kel08 = u.TypeUstr == 8;
    switch (code) {
    case 0x80: u.GVS.Temp = v; break;
    case 0x81: u.GVS.Ustavka = v; break;
    case 0x82: case 0x83: case 0x84: case 0x85: case 0x86: case 0x87: case 0x88: case 0x89:
        applySniz(u.GVS, code - 0x80, v);
        break;
    case 0x8A:
        u.GVS.Status.Otkl = bit(v, 1);
        u.GVS.Status.NeIspolz = bit(v, 7);
        break;
    case 0x8B:
        if (kel08)
            u.GVS.RaznRecirc = std::uint8_t(v + 1);
        break;
    case 0x8C:
        if (kel08)
            u.GVS.TempRecirc = v;
        break;
    case 0xA0: u.KotTempPodac = v; break;
    case 0xA1:
        if (kel08)
            u.KotTempObrat = v;
        break;
    case 0xA2: u.KotUstavka = v; break;
    case 0xA3:
        if (kel08)
            u.KotMinObrat = v;
        break;
    case 0xA4: decodeKotelnaya(u, v); break;
    case 0xA5: case 0xA6: case 0xA7:
        if (kel08)
            u.Kotel[std::size_t(code - 0xA5)].UrovModul = v;
        break;
    case 0xA8:
        if (kel08)
            u.KolModul = v;
        break;
    case 0xA9: u.TempRezervKot = v; break;
    case 0xE0: decodeRezim(u, v); break;
    case 0xE1: decodeSostoyanie(u, v); break;
    case 0xE2:
        if (kel08)
            setVremPodpit(u, (u.VremPodpit & 0xFF00u) | v);
        break;
    case 0xE3:
        if (kel08) {
            setVremPodpit(u, std::uint32_t(v) << 8 | (u.VremPodpit & 0xFFu));
            if (u.VremPodpit == 0)
                u.Avar[16] = 0;
        }
        break;
    case 0xE4:
        if (kel08)
            u.SchetPodpit = v;
        break;
    default: break;
    }
}

void decodeParameters(TUstr& u, const TCanFrame& f)
{
    const unsigned circuitLimit = u.TypeUstr == 2 ? 0x40 : 0x80;
    forEachPair(f, [&](std::uint8_t code, std::uint8_t v) {
        if (code < circuitLimit)
            decodeKonturParam(u, u.Kontur[code >> 5], code & 0x1F, v);
        else if (u.TypeUstr != 2)
            decodeKotelCode(u, code, v);
        else if (code == 0xE0)
            decodeRezim(u, v);
    });
}

void decodeStateKel02(TUstr& u, const TCanFrame& f)
{
    if (!firstPairIsCodeZero(f))
        return;
    const std::uint8_t v = f.data[1];
    u.Kontur[0].Klap.Otkr = bit(v, 0);
    u.Kontur[0].Klap.Zakr = bit(v, 1);
    u.Kontur[1].Klap.Otkr = bit(v, 2);
    u.Kontur[1].Klap.Zakr = bit(v, 3);
    u.Kontur[0].Nasos.Rabota1 = bit(v, 4);
    u.Kontur[1].Nasos.Rabota1 = bit(v, 5);
    u.Kontur[0].Nasos.Rabota2 = bit(v, 6);
    u.Kontur[1].Nasos.Rabota2 = bit(v, 7);
}

void decodeStateKel04(TUstr& u, const TCanFrame& f)
{
    forEachPair(f, [&](std::uint8_t code, std::uint8_t v) {
        if (code == 0) {
            for (int n = 0; n < 4; ++n)
                u.Kontur[std::size_t(n)].Nasos.Rabota1 = bit(v, n);
            u.GVS.NasosGVS = bit(v, 4);
            u.Kotel[0].Nasos = bit(v, 5);
            u.Kotel[1].Nasos = bit(v, 6);
        } else if (code == 1) {
            u.Kontur[0].Klap.Otkr = bit(v, 0);
            u.Kontur[0].Klap.Zakr = bit(v, 1);
            u.Kontur[1].Klap.Otkr = bit(v, 2);
            u.Kontur[1].Klap.Zakr = bit(v, 3);
            u.Kontur[2].Klap.Otkr = bit(v, 4);
            u.Kontur[3].Klap.Otkr = bit(v, 5);
            u.Kotel[0].Gorelka = bit(v, 6);
            u.Kotel[1].Gorelka = bit(v, 7);
        }
    });
}

void decodeStateKel08(TUstr& u, const TCanFrame& f)
{
    forEachPair(f, [&](std::uint8_t code, std::uint8_t v) {
        switch (code) {
        case 0:
            for (int n = 0; n < 4; ++n) {
                u.Kontur[std::size_t(n)].Nasos.Rabota1 = bit(v, 2 * n);
                u.Kontur[std::size_t(n)].Nasos.Rabota2 = bit(v, 2 * n + 1);
            }
            break;
        case 1:
            for (int n = 0; n < 4; ++n) {
                u.Kontur[std::size_t(n)].Klap.Otkr = bit(v, 2 * n);
                u.Kontur[std::size_t(n)].Klap.Zakr = bit(v, 2 * n + 1);
            }
            break;
        case 2:
            for (int n = 0; n < 3; ++n)
                u.Kotel[std::size_t(n)].Nasos = bit(v, n);
            u.KlapPodpit = bit(v, 3);
            u.GVS.NasosGVS = bit(v, 4);
            u.GVS.NasosRecirc = bit(v, 5);
            break;
        case 3:
            for (int n = 0; n < 2; ++n) {
                u.Kotel[std::size_t(n)].Gorelka = bit(v, 3 * n);
                u.Kotel[std::size_t(n)].Stup2 = bit(v, 3 * n + 1);
                u.Kotel[std::size_t(n)].GorelkaDop = bit(v, 3 * n + 2);
            }
            u.Kotel[2].Gorelka = bit(v, 6);
            u.Kotel[2].Stup2 = bit(v, 7);
            break;
        case 4:
            u.Kotel[2].GorelkaDop = bit(v, 0);
            break;
        default: break;
        }
    });
}

// Where each alarm bit lands: an alarm record byte (0-35), a circuit's pump or valve alarm, or nowhere.
constexpr int kNone = -1;
constexpr int nasosAvar(int kontur, int nasos) { return 100 + 2 * (kontur - 1) + (nasos - 1); }
constexpr int klapAvar(int kontur) { return 200 + kontur - 1; }

using AlarmRow = std::array<int, 8>;

constexpr AlarmRow kAvarKel02[] = {
    {4, 5, 2, 3, 12, 33, kNone, 29},
    {nasosAvar(1, 1), nasosAvar(1, 2), nasosAvar(2, 1), nasosAvar(2, 2), 26, kNone, kNone, kNone},
};
constexpr AlarmRow kAvarKel04[] = {
    {4, 5, 6, 7, 8, 10, 12, 33},
    {34, 35, kNone, kNone, kNone, kNone, kNone, kNone},
};
constexpr AlarmRow kAvarKel08[] = {
    {4, 5, 6, 7, 8, 9, 12, 10},
    {11, kNone, kNone, kNone, kNone, 19, 20, 33},
    {nasosAvar(1, 1), nasosAvar(1, 2), nasosAvar(2, 1), nasosAvar(2, 2), nasosAvar(3, 1), nasosAvar(3, 2),
     nasosAvar(4, 1), nasosAvar(4, 2)},
    {30, 31, 32, 13, kNone, 14, kNone, kNone},
    {klapAvar(1), klapAvar(2), klapAvar(3), klapAvar(4), kNone, kNone, kNone, 15},
    {24, 0, 26, 25, 1, 21, 23, 27},
    {22, 29, 28, kNone, kNone, 16, 17, 18},
};

std::uint8_t& alarmFlag(TUstr& u, int target)
{
    if (target >= 200)
        return u.Kontur[std::size_t(target - 200)].Klap.Avar;
    if (target >= 100) {
        TNasos& n = u.Kontur[std::size_t((target - 100) / 2)].Nasos;
        return (target - 100) % 2 == 0 ? n.Avar1 : n.Avar2;
    }
    return u.Avar[std::size_t(target)];
}

// An alarm report adds the bits that are on (assign = false); an alarm status replaces them.
void decodeAlarms(TUstr& u, const TCanFrame& f, bool assign)
{
    const AlarmRow* table = nullptr;
    std::size_t codes = 0;
    switch (u.TypeUstr) {
    case 2: table = kAvarKel02; codes = std::size(kAvarKel02); break;
    case 4: table = kAvarKel04; codes = std::size(kAvarKel04); break;
    case 8: table = kAvarKel08; codes = std::size(kAvarKel08); break;
    default: return;
    }
    const bool kel08 = u.TypeUstr == 8;
    forEachPair(f, [&](std::uint8_t code, std::uint8_t v) {
        if (code >= codes)
            return;
        for (int b = 0; b < 8; ++b) {
            const int target = table[code][std::size_t(b)];
            if (target == kNone)
                continue;
            const std::uint8_t on = bit(v, b);
            bool assignBit = assign;
            // KEL-02 below version 2 sends the pressure bit as a state: even an alarm report assigns it.
            if (u.TypeUstr == 2 && code == 1 && b == 4 && u.VersPO < 2)
                assignBit = true;
            if (assignBit || on)
                alarmFlag(u, target) = on;
            // "No mains voltage" and "voltage was lost" exclude each other.
            if (kel08 && code == 5 && on) {
                if (b == 1)
                    u.Avar[1] = 0;
                else if (b == 4)
                    u.Avar[0] = 0;
            }
        }
        if (kel08 && code == 5) {
            if (!assign && u.Avar[23])
                u.Avar[22] = 0; // CO level 2 supersedes level 1
            if (assign && u.Avar[0])
                u.Avar[1] = 0;
        }
    });
}

void decodeAlarmClear(TUstr& u, const TCanFrame& f)
{
    if (payloadLength(f) < 2)
        return;
    const std::uint8_t code = f.data[0];
    const std::uint8_t v = f.data[1];
    if (u.TypeUstr == 2) {
        if (code == 1 && bit(v, 4))
            u.Avar[26] = 0;
    } else if (u.TypeUstr == 8) {
        if (code == 1) {
            if (bit(v, 5))
                u.Avar[19] = 0;
            if (bit(v, 6))
                u.Avar[20] = 0;
        } else if (code == 5 && bit(v, 1)) {
            u.Avar[0] = 0;
        }
    }
}

void decodeKel(TUstr& u, const TCanFrame& f)
{
    switch (reportClass(f.ident)) {
    case kNameFirstHalf: decodeName(u, f, false); break;
    case kNameSecondHalf: decodeName(u, f, true); break;
    case kOutsideTempBroadcast:
        // Every controller of a building hears the broadcasts of all buildings on the bus.
        if (payloadLength(f) > 1 && f.data[1] == u.NomZdan)
            u.TempUlic = std::int8_t(f.data[0]);
        break;
    case kParameterReport: decodeParameters(u, f); break;
    case kStateReport:
        if (u.TypeUstr == 2)
            decodeStateKel02(u, f);
        else if (u.TypeUstr == 4)
            decodeStateKel04(u, f);
        else
            decodeStateKel08(u, f);
        break;
    case kAlarmReport: decodeAlarms(u, f, false); break;
    case kAlarmStatus: decodeAlarms(u, f, true); break;
    case kAlarmClearReport: decodeAlarmClear(u, f); break;
    default: break;
    }
}

// ---- KEL-06 ----

void decodeNameKel06(TUstrKel06& u, const TCanFrame& f, bool secondHalf)
{
    const unsigned s = (f.ident >> 8) & 0xF;
    TName10* name = s == 0xF ? &u.Name : s == 0xE ? &u.NameEtaz : s < 6 ? &u.KonturZon[s].Name : nullptr;
    if (!name)
        return;
    const int len = payloadLength(f);
    if (secondHalf) {
        putNameHalf(*name, 5, f);
        if (len > 2)
            u.VersPO = f.data[2];
        return;
    }
    putNameHalf(*name, 0, f);
    if (s < 6 && len > 2)
        u.KonturZon[s].NomZon = f.data[2];
    if (s == 0xF)
        std::fill(u.Name.c.begin() + 5, u.Name.c.begin() + 8, '\0');
    if (len > 1)
        u.NomEtaz = f.data[1];
    if (len > 0)
        u.NomZdan = f.data[0];
}

void decodeZonParam(KonturKel06& k, int param, std::uint8_t v)
{
    switch (param) {
    case 0: k.Temp = v; break;
    case 1: k.Ustavka = v; break;
    case 10:
        k.Upr.Tip = v & 7;
        k.Upr.Vyhodn = bit(v, 4);
        k.Upr.Dop = bit(v, 7);
        k.Vyh.Dop = bit(v, 5);
        break;
    default: applySniz(k, param, v); break;
    }
}

void decodeKel06(TUstrKel06& u, const TCanFrame& f)
{
    switch (reportClass(f.ident)) {
    case kNameFirstHalf: decodeNameKel06(u, f, false); break;
    case kNameSecondHalf: decodeNameKel06(u, f, true); break;
    case kParameterReport:
        forEachPair(f, [&](std::uint8_t code, std::uint8_t v) {
            if (code < 0xC0)
                decodeZonParam(u.KonturZon[code >> 5], code & 0x1F, v);
        });
        break;
    case kKel06Settings:
        // The 5-byte zone command the consoles send, seen on the bus: (zone << 5 | parameter, value, ...).
        if (payloadLength(f) > 4) {
            const unsigned zone = f.data[0] >> 5;
            const int param = f.data[0] & 0x1F;
            if (zone < u.KonturZon.size() && param >= 1 && param <= 9)
                decodeZonParam(u.KonturZon[zone], param, f.data[1]);
        }
        break;
    case kStateReport:
        if (firstPairIsCodeZero(f))
            for (int i = 0; i < 6; ++i)
                u.KonturZon[std::size_t(i)].Vyh.Nagrev = bit(f.data[1], i);
        break;
    case kAlarmReport:
    case kAlarmStatus:
        if (firstPairIsCodeZero(f))
            for (int i = 0; i < 7; ++i)
                u.AvarKel06[std::size_t(i)] = bit(f.data[1], i);
        break;
    default: break;
    }
}

} // namespace

void TUstr::Decode(const TCanFrame& frame)
{
    KeyUstr = deviceKey(frame.ident);
    NomerUstr = deviceNumber(frame.ident);
    if (TypeUstr == 2 || TypeUstr == 4 || TypeUstr == 8)
        decodeKel(*this, frame);
}

void TUstrKel06::Decode(const TCanFrame& frame)
{
    TUstr::Decode(frame);
    decodeKel06(*this, frame);
}

} // namespace kelcon
