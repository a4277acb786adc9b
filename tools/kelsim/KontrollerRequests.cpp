#include "Kontroller.h"

#include <algorithm>

namespace kelcon::kelsim {

namespace {

bool stepReduction(Reductions& r, int param, int dir) {
    auto clampStep = [dir](int& v, int lo, int hi) { v = std::clamp(v + dir, lo, hi); };
    auto wrapStep = [dir](int& v, int n) { v = (v + dir + n) % n; };
    switch (param) {
    case 2:
        clampStep(r.sutUm, 0, 40);
        return true;
    case 3:
        wrapStep(r.sutBeg, 24);
        return true;
    case 4:
        wrapStep(r.sutEnd, 24);
        return true;
    case 5:
        clampStep(r.nedUm, 0, 40);
        return true;
    case 6:
        wrapStep(r.nedBegTime, 24);
        return true;
    case 7:
        wrapStep(r.nedBegDay, 7);
        return true;
    case 8:
        wrapStep(r.nedEndTime, 24);
        return true;
    case 9:
        wrapStep(r.nedEndDay, 7);
        return true;
    default:
        return false;
    }
}

// An absolute value from a command frame; hours come as BCD like in the reports.
bool setReduction(Reductions& r, int param, std::uint8_t value) {
    const int hour = std::min(fromBcd(value), 23);
    const int day = std::min<int>(value, 6);
    switch (param) {
    case 2:
        r.sutUm = std::min<int>(value, 40);
        return true;
    case 3:
        r.sutBeg = hour;
        return true;
    case 4:
        r.sutEnd = hour;
        return true;
    case 5:
        r.nedUm = std::min<int>(value, 40);
        return true;
    case 6:
        r.nedBegTime = hour;
        return true;
    case 7:
        r.nedBegDay = day;
        return true;
    case 8:
        r.nedEndTime = hour;
        return true;
    case 9:
        r.nedEndDay = day;
        return true;
    default:
        return false;
    }
}

} // namespace

bool Kontroller::stepSetting(int slot, int param, int dir, std::vector<std::uint8_t>& codes) {
    auto clampStep = [dir](int& v, int lo, int hi) { v = std::clamp(v + dir, lo, hi); };
    if (slot < slotCount()) {
        auto& k = kontury_[slot];
        const std::uint8_t base = std::uint8_t(slot * 32);
        if (type_ == 6) {
            if (param == 30) {
                k.weekend = dir > 0;
                codes.push_back(base + 10);
                return true;
            }
            if (param == 1)
                clampStep(k.setpoint, 5, 35);
            else if (!stepReduction(k.red, param, dir))
                return false;
            codes.push_back(std::uint8_t(base + param));
            return true;
        }
        if (!k.used)
            return false;
        switch (param) {
        case 1:
            clampStep(k.minTemp, 0, 90);
            break;
        case 11:
            // Older firmware switches a circuit off by lowering the curve below 0, newer by parameter 15.
            if (dir < 0 && k.curve == 0 && version_ < 3) {
                k.off = true;
                codes.push_back(base + 10);
            } else if (dir > 0 && k.off) {
                k.off = false;
                codes.push_back(base + 10);
            } else {
                clampStep(k.curve, 0, 11);
            }
            break;
        case 13:
            clampStep(k.returnLimit, 20, 95);
            break;
        case 14:
            clampStep(k.userPlus8, 20, 95);
            break;
        case 16:
            clampStep(k.userMinus8, 20, 95);
            break;
        case 15:
            k.off = dir < 0;
            codes.push_back(base + 10);
            return true;
        case 30:
            weekend_ = dir > 0;
            codes.push_back(0xE0);
            return true;
        default:
            if (!stepReduction(k.red, param, dir))
                return false;
        }
        codes.push_back(std::uint8_t(base + param));
        return true;
    }
    if (slot == 4 && gvs_.present && (type_ == 4 || type_ == 8)) {
        switch (param) {
        case 1:
            clampStep(gvs_.setpoint, 0, 75);
            break;
        case 11:
            if (type_ != 8)
                return false;
            clampStep(gvs_.recDiff, 1, 20);
            break;
        case 15:
            gvs_.off = dir < 0;
            codes.push_back(0x8A);
            return true;
        default:
            if (!stepReduction(gvs_.red, param, dir))
                return false;
        }
        codes.push_back(std::uint8_t(0x80 + param));
        return true;
    }
    if (slot == 5 && kotly_.count > 0) {
        switch (param) {
        case 2:
            clampStep(kotly_.setpoint, 0, 90);
            break;
        case 3:
            if (type_ != 8)
                return false;
            clampStep(kotly_.minReturn, 0, 30);
            break;
        case 9:
            clampStep(kotly_.reserveTemp, 30, 90);
            break;
        case 31:
            kotly_.rotation = dir > 0;
            codes.push_back(0xA4);
            return true;
        default:
            return false;
        }
        codes.push_back(std::uint8_t(0xA0 + param));
        return true;
    }
    return false;
}

std::vector<Pair> Kontroller::pairsForCodes(const std::vector<std::uint8_t>& codes) const {
    std::vector<Pair> out;
    for (std::uint8_t code : codes) {
        const int slot = code >> 5;
        const auto all = slot == 7 ? devicePairs() : slotPairs(slot);
        for (const auto& p : all)
            if (p.first == code)
                out.push_back(p);
    }
    return out;
}

void Kontroller::resetAlarms() {
    for (auto& k : kontury_)
        k.pumpTripped = {false, false};
    mainsBack_ = false;
    mainsBackShown_ = 0;
    updateAlarms();
}

void Kontroller::handleRequest(std::uint32_t word, std::vector<TCanFrame>& out) {
    const int op = int(word & 0xF);
    const int slot = int((word >> 13) & 7);
    const int param = int((word >> 8) & 0x1F);
    switch (op) {
    case 0: // presence poll: any frame proves life, the state report is the cheapest
        appendPairFrames(key() | kStateWord, statePairs(), out);
        break;
    case 1:
    case 2: {
        std::vector<std::uint8_t> codes;
        if (stepSetting(slot, param, op == 1 ? 1 : -1, codes))
            appendPairFrames(key() | kParameterWord, pairsForCodes(codes), out);
        break;
    }
    case 3:
        allData(out);
        break;
    case 4:
        if (slot < slotCount()) {
            const auto& k = kontury_[slot];
            if (type_ == 6 || k.used)
                nameFrames(slot, k.name, etaz_, k.zoneNumber, out);
        }
        appendPairFrames(key() | kParameterWord, slot == 7 ? devicePairs() : slotPairs(slot), out);
        break;
    case 5:
        allNames(out);
        break;
    case 6:
        resetAlarms();
        alarmChanges(out);
        alarmStatus(out);
        break;
    default:
        break;
    }
}

void Kontroller::handleCommand(const TCanFrame& f, std::vector<TCanFrame>& out) {
    const int len = f.dataLength();
    if (len < 2)
        return;
    const std::uint8_t code = f.data[0], value = f.data[1];
    const int zdan = len > 2 ? f.data[2] : 0, etaz = len > 3 ? f.data[3] : 0, zon = len > 4 ? f.data[4] : 0;
    if (zdan != 0 && zdan != zdanNumber_)
        return;
    const int param = code & 0x1F, index = code >> 5;
    std::vector<std::uint8_t> codes;
    if (type_ != 6) {
        if (param != 30 || value > 2)
            return;
        weekend_ = value == 1;
        stopped_ = value == 2;
        codes.push_back(0xE0);
    } else {
        if (etaz != 0 && etaz != etaz_)
            return;
        for (int i = 0; i < slotCount(); ++i) {
            auto& k = kontury_[i];
            // A zone id picks zones wherever they sit; without one the circuit index does, and index 0 means
            // all.
            if (zon != 0 ? k.zoneNumber != zon : index != 0 && index != i)
                continue;
            const std::uint8_t base = std::uint8_t(i * 32);
            if (param == 30) {
                k.weekend = value == 1;
                codes.push_back(base + 10);
            } else if (param == 1) {
                k.setpoint = std::clamp<int>(value, 5, 35);
                codes.push_back(base + 1);
            } else if (setReduction(k.red, param, value)) {
                codes.push_back(std::uint8_t(base + param));
            }
        }
    }
    appendPairFrames(key() | kParameterWord, pairsForCodes(codes), out);
}

bool Kontroller::breakSensor(const QString& sensor, int kontur, bool broken) {
    const int i = kontur - 1;
    const bool hasKontur = i >= 0 && i < slotCount() && (type_ == 6 || kontury_[i].used);
    if (sensor == u"kontur" && hasKontur) {
        (type_ == 6 ? kontury_[i].zoneBroken : kontury_[i].supplyBroken) = broken;
    } else if (sensor == u"obrat" && type_ == 2 && hasKontur) {
        kontury_[i].returnBroken = broken;
    } else if (sensor == u"ulica" && type_ != 6) {
        outsideBroken_ = broken;
    } else if (sensor == u"gvs" && gvs_.present) {
        gvs_.broken = broken;
    } else if (sensor == u"recirc" && gvs_.present && type_ == 8) {
        gvs_.recBroken = broken;
    } else if (sensor == u"podacha" && (type_ == 6 || kotly_.count > 0)) {
        kotly_.supplyBroken = broken;
    } else if (sensor == u"obratkotla" && type_ == 8 && kotly_.count > 0) {
        kotly_.returnBroken = broken;
    } else {
        return false;
    }
    updateAlarms();
    return true;
}

bool Kontroller::tripPump(int kontur, int pump) {
    const int i = kontur - 1;
    if (type_ == 6 || i < 0 || i >= slotCount() || !kontury_[i].used || pump < 1 || pump > 2)
        return false;
    if (pump == 2 && !kontury_[i].twoPumps)
        return false;
    kontury_[i].pumpTripped[pump - 1] = true;
    updateAlarms();
    return true;
}

void Kontroller::setMains(bool on) {
    if (on == mains_)
        return;
    mains_ = on;
    if (on) {
        startUp_ = 120;
        if (type_ == 8) {
            mainsBack_ = true;
            mainsBackShown_ = 60;
        }
    } else {
        mainsBack_ = false;
    }
    updateAlarms();
}

} // namespace kelcon::kelsim
