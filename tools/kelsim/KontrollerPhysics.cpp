#include "Kontroller.h"

#include <algorithm>
#include <cmath>

namespace kelcon::kelsim {

namespace {

// Hours as a point on a week (Monday 0), to compare reduction windows that wrap over midnight or Sunday.
bool hourInWindow(int hour, int from, int to) {
    if (from == to)
        return false;
    return from < to ? hour >= from && hour < to : hour >= from || hour < to;
}

double approach(double value, double target, double seconds, double timeConstant) {
    return value + (target - value) * std::min(1.0, seconds / timeConstant);
}

} // namespace

int Reductions::activeAt(const QDateTime& t) const {
    const int hour = t.time().hour();
    const int day = t.date().dayOfWeek() - 1;
    int r = 0;
    if (sutUm > 0 && hourInWindow(hour, sutBeg, sutEnd))
        r = sutUm;
    if (nedUm > 0) {
        const int now = day * 24 + hour;
        const int from = nedBegDay * 24 + nedBegTime;
        const int to = nedEndDay * 24 + nedEndTime;
        const bool inside = from < to ? now >= from && now < to : now >= from || now < to;
        if (from != to && inside)
            r = std::max(r, nedUm);
    }
    return r;
}

Kontroller::Kontroller(const KontrollerDesc& desc, const ZdanDesc& zdan, std::uint32_t seed)
    : type_(desc.type), number_(desc.number), uzel_(desc.uzel), zdanNumber_(desc.zdan),
      version_(desc.version), etaz_(desc.etaz), zdanName_(zdan.name), etazName_(desc.etazName), rng_(seed) {
    std::uniform_real_distribution<double> jitter(-1.5, 1.5);
    if (type_ == 6) {
        for (const auto& z : desc.zony) {
            KonturSim k;
            k.name = z.name;
            k.zoneNumber = z.number;
            k.setpoint = z.setpoint;
            k.controlType = z.controlType;
            k.zoneTemp = z.setpoint + jitter(rng_);
            k.red.sutUm = 2;
            k.red.nedUm = 3;
            kontury_.push_back(k);
        }
        return;
    }
    const int slotTotal = type_ == 2 ? 2 : 4;
    for (int i = 0; i < slotTotal; ++i) {
        KonturSim k;
        k.used = i < desc.kontury.size();
        k.name = k.used ? desc.kontury[i] : QString();
        k.curve = 4 + (number_ + i) % 4;
        k.minTemp = 25;
        k.twoPumps = type_ != 4 && i == 0;
        k.twoWay = type_ == 4 && i >= 2; // KEL-04 circuits 3 and 4 have on/off valves
        k.red.sutUm = i == 1 ? 5 : 0;
        k.red.nedUm = i == 2 ? 8 : 0;
        k.supply = 45 + 3 * jitter(rng_);
        k.ret = k.supply - 10;
        kontury_.push_back(k);
    }
    gvs_.present = desc.gvs;
    kotly_.count = desc.kotly;
    kotly_.modulating = type_ == 8;
    kotly_.reserve = type_ == 8 && desc.kotly == 3;
    kotly_.levels = type_ == 8 ? 4 : 0;
}

double Kontroller::curveTarget(const KonturSim& k, double outside) const {
    double t;
    if (k.curve == 11) {
        // A straight line through the two points the user set at +8 and -8 degrees outside.
        t = k.userPlus8 + (8.0 - outside) * (k.userMinus8 - k.userPlus8) / 16.0;
    } else {
        const int n = std::clamp(k.curve & 0x7F, 1, 10);
        t = 20.0 + (20.0 - outside) * (0.45 + 0.12 * n);
    }
    return std::clamp(t, 20.0, 95.0);
}

void Kontroller::stepKontur(KonturSim& k, const QDateTime& local, double outside, double source) {
    const bool heatingSeason = outside < 17.0;
    const bool active = k.used && !k.off && !stopped_ && mains_ && heatingSeason;
    double target = curveTarget(k, outside) - 3.0 * k.red.activeAt(local);
    if (weekend_)
        target -= 15.0;
    target = std::max(target, double(k.minTemp));
    if (type_ == 2 && k.returnLimit > 30)
        target = std::min(target, double(k.returnLimit) + 15.0);
    k.target = target;

    // Pump 2 stands by for pump 1, which it replaces when pump 1 has tripped; without a second pump the
    // circuit stops.
    const bool useSecond = k.twoPumps && (k.pumpTripped[0] || local.date().dayOfYear() % 7 == 0);
    k.pump[0] = active && !useSecond && !k.pumpTripped[0];
    k.pump[1] = active && k.twoPumps && useSecond && !k.pumpTripped[1];
    const bool flow = k.pump[0] || k.pump[1];

    const double error = target - k.supply;
    k.opening = flow && !k.noValve && error > 1.5 && k.valve < 1.0;
    k.closing = (!flow && k.valve > 0.0) || (flow && !k.noValve && error < -1.5 && k.valve > 0.0);
    if (k.twoWay) {
        if (k.opening)
            k.valve = 1.0;
        if (k.closing)
            k.valve = 0.0;
    } else {
        if (k.opening)
            k.valve = std::min(1.0, k.valve + 1.0 / 150.0);
        if (k.closing)
            k.valve = std::max(0.0, k.valve - 1.0 / 150.0);
    }
    const double mixed = k.noValve ? source : k.ret + k.valve * (source - k.ret);
    const double idle = 20.0 + (outside - 20.0) * 0.3;
    k.supply = approach(k.supply, flow ? mixed : idle, 1.0, flow ? 40.0 : 900.0);
    const double retTarget = flow ? outside + (k.supply - outside) * 0.72 : idle;
    k.ret = approach(k.ret, retTarget, 1.0, 240.0);
}

void Kontroller::stepZone(KonturSim& z, const QDateTime& local, double outside) {
    double sp = z.setpoint - z.red.activeAt(local);
    if (z.weekend)
        sp -= std::max(z.red.nedUm, 3);
    if (z.heating && z.zoneTemp > sp + 0.3)
        z.heating = false;
    else if (!z.heating && z.zoneTemp < sp - 0.3)
        z.heating = true;
    if (!mains_ || z.zoneBroken)
        z.heating = false;
    // Floor heating is slow; radiators and on/off convectors answer faster.
    const double gain = z.controlType == 0 ? 0.0015 : 0.003;
    const double loss = (z.zoneTemp - outside) * 0.00004;
    z.zoneTemp += (z.heating ? gain : 0.0) - loss;
}

void Kontroller::stepKotly(const QDateTime& local, double demand) {
    auto& b = kotly_;
    if (b.count == 0)
        return;
    const double sp = b.setpoint > 0 ? b.setpoint : std::clamp(demand + 8.0, 45.0, 90.0);
    const bool allowed = mains_ && !stopped_;
    const int lead = b.rotation ? local.date().dayOfYear() % b.count : 0;
    int burning = 0;
    for (int n = 0; n < b.count; ++n) {
        const int i = (lead + n) % b.count;
        auto& u = b.units[i];
        const bool reserveUnit = b.reserve && i == b.count - 1;
        // The lead unit keeps the set-point; a further one joins when the lead has run long and the water is
        // still cold.
        const bool wanted = n == 0 ? b.supply < sp - 2.0
                                   : b.units[(lead + n - 1) % b.count].onSeconds > 180 && b.supply < sp - 6.0;
        const bool reserveWanted = !reserveUnit || b.supply < b.reserveTemp;
        if (!allowed || b.supplyBroken || b.supply > sp + 3.0)
            u.burner = false;
        else if (wanted && reserveWanted)
            u.burner = true;
        u.stage2 = u.burner && !b.singleStage && b.supply < sp - 5.0;
        u.modulation = u.burner && b.modulating
                           ? std::clamp(int(std::lround((sp - b.supply) / 2.0)) + 1, 1, b.levels)
                           : 0;
        u.onSeconds = u.burner ? u.onSeconds + 1 : 0;
        u.postRun = u.burner ? 120 : std::max(0, u.postRun - 1);
        u.pump = allowed && (u.burner || u.postRun > 0);
        if (u.burner) {
            const double power =
                b.modulating ? 0.3 + 0.7 * u.modulation / std::max(1, b.levels) : (u.stage2 ? 1.0 : 0.6);
            burning += 1;
            b.supply += 0.35 * power;
        }
    }
    double load = 0.0, retSum = 0.0;
    int flows = 0;
    for (const auto& k : kontury_)
        if (k.pump[0] || k.pump[1]) {
            load += k.valve;
            retSum += k.ret;
            ++flows;
        }
    if (gvs_.pump)
        load += 0.6;
    b.ret =
        flows > 0 ? approach(b.ret, retSum / flows, 1.0, 60.0) : approach(b.ret, b.supply - 3.0, 1.0, 300.0);
    b.supply -= (b.supply - b.ret) * (0.002 + 0.004 * load) + (burning == 0 ? 0.002 : 0.0);
}

void Kontroller::stepGvs(const QDateTime& local) {
    auto& g = gvs_;
    if (!g.present)
        return;
    const int hour = local.time().hour();
    const bool day = hour >= 6 && hour < 23;
    const bool peak = (hour >= 6 && hour < 9) || (hour >= 18 && hour < 22);
    const double draw = peak ? 0.012 : day ? 0.004 : 0.001;
    const double sp = g.setpoint - g.red.activeAt(local);
    const bool allowed = mains_ && !stopped_ && !g.off && g.setpoint > 0 && !g.broken;
    if (!allowed || g.temp >= sp)
        g.pump = false;
    else if (g.temp < sp - 5.0)
        g.pump = true;
    const double source = kotly_.count > 0 ? kotly_.supply : 75.0;
    if (g.pump)
        g.temp += (source - g.temp) * 0.004;
    g.temp -= draw * (g.temp - 10.0) * 0.05 + 0.0004 * (g.temp - 20.0);
    g.recPump = allowed && day && type_ == 8;
    g.recTemp = approach(g.recTemp, g.recPump ? g.temp - g.recDiff : 22.0, 1.0, g.recPump ? 120.0 : 1800.0);
}

void Kontroller::stepMakeup() {
    if (type_ != 8)
        return;
    auto& m = makeup_;
    // A heating network always loses some water; the make-up valve brings the pressure back.
    m.pressure -= 0.0004;
    if (!m.valve && m.pressure < 1.5 && mains_) {
        m.valve = true;
        m.time = 0;
        ++m.counter;
    }
    if (m.valve) {
        m.pressure += 0.012;
        m.time = std::min(m.time + 1, 59999);
        if (m.pressure >= 2.0 || !mains_)
            m.valve = false;
    }
}

void Kontroller::step(const QDateTime& local, double outside) {
    outside_ = outside;
    uptime_ = powered() ? uptime_ + 1 : -1;
    if (startUp_ > 0)
        --startUp_;
    if (mainsBackShown_ > 0 && --mainsBackShown_ == 0)
        mainsBack_ = false;
    if (type_ == 6) {
        for (auto& z : kontury_)
            stepZone(z, local, outside);
        updateAlarms();
        return;
    }
    const double network = 70.0 + std::max(0.0, 10.0 - outside) * 0.8; // district heating feeding a KEL-02
    const double source = kotly_.count > 0 ? kotly_.supply : network;
    double demand = gvs_.present && gvs_.pump ? 70.0 : 0.0;
    for (auto& k : kontury_) {
        stepKontur(k, local, outside, source);
        if (k.pump[0] || k.pump[1])
            demand = std::max(demand, k.target);
    }
    stepKotly(local, demand);
    stepGvs(local);
    stepMakeup();
    updateAlarms();
}

void Kontroller::updateAlarms() {
    auto bit = [](bool on, int n) { return std::uint8_t(on ? 1u << n : 0u); };
    const auto& k = kontury_;
    avar_.fill(0);
    switch (type_) {
    case 2:
        avar_[0] = bit(k[0].supplyBroken, 0) | bit(k[1].supplyBroken, 1) | bit(k[0].returnBroken, 2) |
                   bit(k[1].returnBroken, 3) | bit(outsideBroken_, 4);
        avar_[1] = bit(k[0].pumpTripped[0], 0) | bit(k[0].pumpTripped[1], 1) | bit(k[1].pumpTripped[0], 2) |
                   bit(k[1].pumpTripped[1], 3);
        break;
    case 4: {
        bool pumpTrip = false;
        for (int i = 0; i < 4; ++i) {
            avar_[0] |= bit(k[i].supplyBroken, i);
            pumpTrip = pumpTrip || k[i].pumpTripped[0] || k[i].pumpTripped[1];
        }
        avar_[0] |= bit(gvs_.broken, 4) | bit(kotly_.supplyBroken, 5) | bit(outsideBroken_, 6);
        avar_[1] = bit(pumpTrip, 1);
        break;
    }
    case 6:
        for (std::size_t i = 0; i < k.size(); ++i)
            avar_[0] |= bit(k[i].zoneBroken, int(i));
        avar_[0] |= bit(kotly_.supplyBroken, 6);
        break;
    case 8:
        for (int i = 0; i < 4; ++i) {
            avar_[0] |= bit(k[i].supplyBroken, i);
            avar_[2] |= bit(k[i].pumpTripped[0], 2 * i) | bit(k[i].pumpTripped[1], 2 * i + 1);
        }
        avar_[0] |= bit(gvs_.broken, 4) | bit(gvs_.recBroken, 5) | bit(outsideBroken_, 6) |
                    bit(kotly_.supplyBroken, 7);
        avar_[1] = bit(kotly_.returnBroken, 0);
        avar_[5] = bit(!mains_, 1) | bit(mainsBack_, 4);
        break;
    default:
        break;
    }
}

} // namespace kelcon::kelsim
