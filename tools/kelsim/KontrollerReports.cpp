#include "Kontroller.h"

#include "core/Cp1251.h"

#include <algorithm>

namespace kelcon::kelsim {

namespace {

std::uint8_t bit(bool on, int n) {
    return std::uint8_t(on ? 1u << n : 0u);
}

std::uint8_t temp(double t, bool broken) {
    return broken ? std::uint8_t(kNoValue) : tempByte(t);
}

int alarmCodes(int type) {
    switch (type) {
    case 2:
    case 4:
        return 2;
    case 6:
        return 1;
    case 8:
        return 7;
    default:
        return 0;
    }
}

// Reduction parameters 2-9 of a circuit, the hot water or a zone; hours go as BCD.
std::uint8_t reductionParam(const Reductions& r, int param) {
    switch (param) {
    case 2:
        return std::uint8_t(r.sutUm);
    case 3:
        return toBcd(r.sutBeg);
    case 4:
        return toBcd(r.sutEnd);
    case 5:
        return std::uint8_t(r.nedUm);
    case 6:
        return toBcd(r.nedBegTime);
    case 7:
        return std::uint8_t(r.nedBegDay);
    case 8:
        return toBcd(r.nedEndTime);
    case 9:
        return std::uint8_t(r.nedEndDay);
    default:
        return 0;
    }
}

} // namespace

int Kontroller::slotCount() const {
    return int(kontury_.size());
}

std::uint8_t Kontroller::statusByte(const KonturSim& k) const {
    if (type_ == 6)
        return std::uint8_t((k.controlType & 7) | bit(k.weekend, 4) | bit(k.heating, 5));
    std::uint8_t b = bit(k.off, 1) | bit(k.twoWay, 2) | bit(k.noValve, 3) | bit(startUp_ > 0 && k.used, 6) |
                     bit(!k.used, 7);
    if (type_ != 4)
        b |= bit(k.twoPumps, 4);
    return b;
}

std::uint8_t Kontroller::konturParam(const KonturSim& k, int param) const {
    if (type_ == 6) {
        switch (param) {
        case 0:
            return temp(k.zoneTemp, k.zoneBroken);
        case 1:
            return std::uint8_t(k.setpoint);
        case 10:
            return statusByte(k);
        default:
            return reductionParam(k.red, param);
        }
    }
    switch (param) {
    case 0:
        return k.used ? temp(k.supply, k.supplyBroken) : std::uint8_t(kNoValue);
    case 1:
        return std::uint8_t(k.minTemp);
    case 10:
        return statusByte(k);
    case 11:
        return std::uint8_t(k.curve);
    case 12:
        return k.used ? temp(k.ret, k.returnBroken) : std::uint8_t(kNoValue);
    case 13:
        return std::uint8_t(k.returnLimit);
    case 14:
        return std::uint8_t(k.userPlus8);
    case 16:
        return std::uint8_t(k.userMinus8);
    default:
        return reductionParam(k.red, param);
    }
}

std::vector<Pair> Kontroller::temperaturePairs() const {
    std::vector<Pair> p;
    for (int i = 0; i < slotCount(); ++i) {
        const auto& k = kontury_[i];
        if (type_ != 6 && !k.used)
            continue;
        p.emplace_back(std::uint8_t(i * 32), konturParam(k, 0));
        if (type_ == 2)
            p.emplace_back(std::uint8_t(i * 32 + 12), konturParam(k, 12));
    }
    if (type_ == 4 || type_ == 8) {
        if (gvs_.present) {
            p.emplace_back(0x80, temp(gvs_.temp, gvs_.broken));
            if (type_ == 8)
                p.emplace_back(0x8C, temp(gvs_.recTemp, gvs_.recBroken));
        }
        if (kotly_.count > 0) {
            p.emplace_back(0xA0, temp(kotly_.supply, kotly_.supplyBroken));
            if (type_ == 8) {
                p.emplace_back(0xA1, temp(kotly_.ret, kotly_.returnBroken));
                for (int u = 0; u < kotly_.count; ++u)
                    p.emplace_back(std::uint8_t(0xA5 + u), std::uint8_t(kotly_.units[u].modulation));
            }
        }
        if (type_ == 8 && makeup_.valve) {
            p.emplace_back(0xE2, std::uint8_t(makeup_.time & 0xFF));
            p.emplace_back(0xE3, std::uint8_t(makeup_.time >> 8));
        }
    }
    return p;
}

std::vector<Pair> Kontroller::slotPairs(int slot) const {
    std::vector<Pair> p;
    if (slot < slotCount()) {
        const auto& k = kontury_[slot];
        const std::uint8_t base = std::uint8_t(slot * 32);
        std::vector<int> params{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        if (type_ != 6) {
            params.insert(params.end(), {11, 14, 16});
            if (type_ == 2)
                params.insert(params.end(), {12, 13});
        }
        for (int param : params)
            p.emplace_back(std::uint8_t(base + param), konturParam(k, param));
        return p;
    }
    if (type_ != 4 && type_ != 8)
        return p;
    if (slot == 4) {
        const auto& g = gvs_;
        p.emplace_back(0x80, g.present ? temp(g.temp, g.broken) : std::uint8_t(kNoValue));
        p.emplace_back(0x81, std::uint8_t(g.setpoint));
        for (int param = 2; param <= 9; ++param)
            p.emplace_back(std::uint8_t(0x80 + param), reductionParam(g.red, param));
        p.emplace_back(0x8A, bit(g.off, 1) | bit(!g.present, 7));
        if (type_ == 8) {
            p.emplace_back(0x8B, std::uint8_t(std::max(0, g.recDiff - 1)));
            p.emplace_back(0x8C, temp(g.recTemp, g.recBroken));
        }
    } else if (slot == 5) {
        const auto& b = kotly_;
        p.emplace_back(0xA0, temp(b.supply, b.supplyBroken));
        p.emplace_back(0xA2, std::uint8_t(b.setpoint));
        if (type_ == 4) {
            p.emplace_back(0xA4,
                           std::uint8_t(bit(b.count >= 2, 2) | bit(b.rotation, 0) | bit(b.singleStage, 3) |
                                        bit(b.reserve, 4) | bit(b.count == 0, 7)));
        } else {
            const int extra = std::max(0, b.count - 1);
            p.emplace_back(0xA1, temp(b.ret, b.returnBroken));
            p.emplace_back(0xA3, std::uint8_t(b.minReturn));
            p.emplace_back(0xA4,
                           std::uint8_t(extra | bit(b.rotation, 2) | bit(b.singleStage, 3) |
                                        bit(b.modulating, 4) | bit(b.reserve, 5) | bit(b.count == 0, 7)));
            p.emplace_back(0xA8, std::uint8_t(b.levels));
        }
        p.emplace_back(0xA9, std::uint8_t(b.reserveTemp));
    }
    return p;
}

std::vector<Pair> Kontroller::devicePairs() const {
    std::vector<Pair> p;
    if (type_ == 6)
        return p;
    p.emplace_back(0xE0, bit(weekend_, 0) | bit(stopped_, 1));
    if (type_ == 4) {
        p.emplace_back(0xE1, bit(kotly_.count > 0 && kotly_.supply > 88, 0));
    } else if (type_ == 8) {
        bool allBoilersOff = kotly_.count > 0;
        for (int u = 0; u < kotly_.count; ++u)
            allBoilersOff = allBoilersOff && !kotly_.units[u].burner;
        p.emplace_back(0xE1, std::uint8_t(bit(stopped_ || !mains_, 0) | bit(allBoilersOff && stopped_, 1) |
                                          bit(makeup_.valve, 3)));
        p.emplace_back(0xE2, std::uint8_t(makeup_.time & 0xFF));
        p.emplace_back(0xE3, std::uint8_t(makeup_.time >> 8));
        p.emplace_back(0xE4, std::uint8_t(makeup_.counter & 0xFF));
    }
    return p;
}

std::vector<Pair> Kontroller::statePairs() const {
    const auto& k = kontury_;
    std::vector<Pair> p;
    switch (type_) {
    case 2:
        p.emplace_back(0, std::uint8_t(bit(k[0].opening, 0) | bit(k[0].closing, 1) | bit(k[1].opening, 2) |
                                       bit(k[1].closing, 3) | bit(k[0].pump[0], 4) | bit(k[1].pump[0], 5) |
                                       bit(k[0].pump[1], 6) | bit(k[1].pump[1], 7)));
        break;
    case 4: {
        std::uint8_t pumps = bit(gvs_.pump, 4) | bit(kotly_.units[0].pump, 5) | bit(kotly_.units[1].pump, 6);
        for (int i = 0; i < 4; ++i)
            pumps |= bit(k[i].pump[0] || k[i].pump[1], i);
        p.emplace_back(0, pumps);
        p.emplace_back(1, std::uint8_t(bit(k[0].opening, 0) | bit(k[0].closing, 1) | bit(k[1].opening, 2) |
                                       bit(k[1].closing, 3) | bit(k[2].opening, 4) | bit(k[3].opening, 5) |
                                       bit(kotly_.units[0].burner, 6) | bit(kotly_.units[1].burner, 7)));
        break;
    }
    case 6: {
        std::uint8_t heating = 0;
        for (std::size_t i = 0; i < k.size(); ++i)
            heating |= bit(k[i].heating, int(i));
        p.emplace_back(0, heating);
        break;
    }
    case 8: {
        std::uint8_t pumps = 0, valves = 0;
        for (int i = 0; i < 4; ++i) {
            pumps |= bit(k[i].pump[0], 2 * i) | bit(k[i].pump[1], 2 * i + 1);
            valves |= bit(k[i].opening, 2 * i) | bit(k[i].closing, 2 * i + 1);
        }
        const auto& u = kotly_.units;
        p.emplace_back(0, pumps);
        p.emplace_back(1, valves);
        p.emplace_back(2, std::uint8_t(bit(u[0].pump, 0) | bit(u[1].pump, 1) | bit(u[2].pump, 2) |
                                       bit(makeup_.valve, 3) | bit(gvs_.pump, 4) | bit(gvs_.recPump, 5)));
        p.emplace_back(3, std::uint8_t(bit(u[0].burner, 0) | bit(u[0].stage2, 1) | bit(u[1].burner, 3) |
                                       bit(u[1].stage2, 4) | bit(u[2].burner, 6) | bit(u[2].stage2, 7)));
        p.emplace_back(4, 0);
        break;
    }
    default:
        break;
    }
    return p;
}

std::vector<std::uint8_t> Kontroller::stateBytes() const {
    std::vector<std::uint8_t> b;
    for (const auto& [code, value] : statePairs())
        b.push_back(value);
    return b;
}

void Kontroller::nameFrames(int object, const QString& name, int d1, int d2,
                            std::vector<TCanFrame>& out) const {
    QByteArray chars = toCp1251(name).left(10);
    chars.append(QByteArray(10 - chars.size(), ' '));
    const std::uint32_t subject = std::uint32_t(object & 0xF) << 8;
    std::uint8_t first[8]{std::uint8_t(zdanNumber_), std::uint8_t(d1), std::uint8_t(d2)};
    std::uint8_t second[8]{std::uint8_t(zdanNumber_), std::uint8_t(d1), std::uint8_t(version_)};
    for (int i = 0; i < 5; ++i) {
        first[3 + i] = std::uint8_t(chars[i]);
        second[3 + i] = std::uint8_t(chars[5 + i]);
    }
    out.push_back(dataFrame(key() | kNameFirstHalf | subject, first, 8));
    out.push_back(dataFrame(key() | kNameSecondHalf | subject, second, 8));
}

void Kontroller::allNames(std::vector<TCanFrame>& out) const {
    nameFrames(kNameZdan, zdanName_, etaz_, 0, out);
    if (type_ == 6)
        nameFrames(kNameEtaz, etazName_, etaz_, 0, out);
    for (int i = 0; i < slotCount(); ++i)
        if (kontury_[i].used)
            nameFrames(i, kontury_[i].name, etaz_, kontury_[i].zoneNumber, out);
}

void Kontroller::alarmStatus(std::vector<TCanFrame>& out) const {
    std::vector<Pair> p;
    for (int c = 0; c < alarmCodes(type_); ++c)
        p.emplace_back(std::uint8_t(c), avar_[c]);
    appendPairFrames(key() | kAlarmStatusWord, p, out);
}

void Kontroller::allData(std::vector<TCanFrame>& out) {
    std::vector<Pair> p;
    const int slotTotal = type_ == 4 || type_ == 8 ? 6 : slotCount();
    for (int s = 0; s < slotTotal; ++s) {
        if (s >= slotCount() && ((s == 4 && !gvs_.present) || (s == 5 && kotly_.count == 0)))
            continue;
        const auto sp = slotPairs(s);
        p.insert(p.end(), sp.begin(), sp.end());
    }
    const auto dp = devicePairs();
    p.insert(p.end(), dp.begin(), dp.end());
    appendPairFrames(key() | kParameterWord, p, out);
    appendPairFrames(key() | kStateWord, statePairs(), out);
    stateSent_ = stateBytes();
    if (type_ != 6) {
        const std::uint8_t d[2]{temp(outside_, outsideBroken_), std::uint8_t(zdanNumber_)};
        out.push_back(dataFrame(key() | kOutsideWord, d, 2));
    }
    alarmStatus(out);
}

void Kontroller::alarmChanges(std::vector<TCanFrame>& out) {
    std::vector<Pair> raised, cleared;
    bool anyLeft = false;
    for (int c = 0; c < alarmCodes(type_); ++c) {
        const std::uint8_t up = avar_[c] & ~avarSent_[c];
        const std::uint8_t down = avarSent_[c] & ~avar_[c];
        if (up)
            raised.emplace_back(std::uint8_t(c), up);
        if (down)
            cleared.emplace_back(std::uint8_t(c), down);
        anyLeft = anyLeft || avar_[c] != 0;
    }
    if (raised.empty() && cleared.empty())
        return;
    appendPairFrames(key() | kAlarmReport, raised, out);
    if (!cleared.empty()) {
        if (anyLeft)
            appendPairFrames(key() | kAlarmClearReport, cleared, out);
        else
            out.push_back(dataFrame(key() | kAlarmClearReport, nullptr, 0)); // length 0: all alarms cleared
    }
    alarmStatus(out);
    avarSent_ = avar_;
}

void Kontroller::reportsDue(std::vector<TCanFrame>& out) {
    if (!powered() || uptime_ < 0)
        return;
    const qint64 phase = (number_ * 7) % 60;
    const qint64 s = uptime_ + phase;
    if (uptime_ == phase % 10) {
        // Power-on: the controller introduces itself with everything it has.
        allNames(out);
        allData(out);
    } else if (uptime_ > 60 && s % 300 == 45) {
        allNames(out);
    }
    if (s % 10 == 0)
        appendPairFrames(key() | kParameterWord, temperaturePairs(), out);
    if (s % 15 == 7) {
        const int slotTotal = type_ == 4 || type_ == 8 ? 7 : slotCount();
        settingsSlot_ = (settingsSlot_ + 1) % slotTotal;
        const std::vector<Pair> p = settingsSlot_ == 6 ? devicePairs() : slotPairs(settingsSlot_);
        appendPairFrames(key() | kParameterWord, p, out);
    }
    const auto state = stateBytes();
    if (s % 20 == 5 || state != stateSent_) {
        appendPairFrames(key() | kStateWord, statePairs(), out);
        stateSent_ = state;
    }
    if (type_ != 6 && s % 30 == 15) {
        const std::uint8_t d[2]{temp(outside_, outsideBroken_), std::uint8_t(zdanNumber_)};
        out.push_back(dataFrame(key() | kOutsideWord, d, 2));
    }
    alarmChanges(out);
    if (s % 60 == 30)
        alarmStatus(out);
}

} // namespace kelcon::kelsim
