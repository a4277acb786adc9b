#include "Simulator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelcon::kelsim {

Simulator::Simulator(PlantDesc plant, const Clock& clock, std::uint32_t seed)
    : plant_(std::move(plant)), clock_(clock), start_(clock.now()), simNow_(start_), seed_(seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> skew(-90, 90);
    for (const auto& desc : plant_.kontrollery) {
        kontrollery_.push_back(std::make_unique<Kontroller>(desc, *plant_.zdan(desc.zdan), rng()));
        clockSkew_.push_back(skew(rng));
    }
    pending_ = plant_.faults;
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const FaultPlan& a, const FaultPlan& b) { return a.atSeconds < b.atSeconds; });
}

Simulator::~Simulator() = default;

SimOutput Simulator::advance() {
    const QDateTime now = clock_.now();
    while (simNow_.secsTo(now) >= 1) {
        simNow_ = simNow_.addSecs(1);
        ++tick_;
        stepSecond();
    }
    return std::exchange(out_, SimOutput{});
}

double Simulator::outsideTemperature(int zdan) const {
    const double pi2 = 2.0 * std::numbers::pi;
    const double day = simNow_.date().dayOfYear();
    const double hour = simNow_.time().msecsSinceStartOfDay() / 3.6e6;
    const double seasonal = 4.0 - 11.0 * std::cos(pi2 * (day - 20.0) / 365.25);
    const double daily = 4.0 * std::cos(pi2 * (hour - 15.0) / 24.0);
    const double wobble = 1.2 * std::sin(pi2 * double(tick_) / 5400.0 + zdan);
    return seasonal + daily + wobble + (zdan % 3) * 0.7 - 0.7;
}

Kontroller* Simulator::find(UzelIdent uzel, int number) {
    for (auto& k : kontrollery_)
        if (k->uzel() == uzel && k->number() == number)
            return k.get();
    return nullptr;
}

bool Simulator::isSilent(UzelIdent uzel, int number) const {
    return std::find(silent_.begin(), silent_.end(), std::make_pair(uzel, number)) != silent_.end();
}

void Simulator::stepSecond() {
    runSchedule();
    for (std::size_t i = 0; i < kontrollery_.size(); ++i) {
        auto& k = *kontrollery_[i];
        k.step(simNow_.addSecs(clockSkew_[i]), outsideTemperature(k.zdan()));
        std::vector<TCanFrame> frames;
        k.reportsDue(frames);
        if (!isSilent(k.uzel(), k.number()))
            send(k, frames);
    }
    if (tick_ % 60 == 20)
        for (const auto& u : plant_.uzly)
            readSensors(u.ident);
}

void Simulator::readSensors(UzelIdent uzel) {
    int zdan = 0;
    for (const auto& k : kontrollery_)
        if (k->uzel() == uzel)
            zdan = k->zdan();
    const double pi2 = 2.0 * std::numbers::pi;
    UzelSensors s{uzel, simNow_, {}};
    s.sensors.push_back(
        {1, 0, float(1.8 + 0.15 * std::sin(pi2 * double(tick_) / 1800.0)), QStringLiteral("Давление")});
    s.sensors.push_back({2, 0, float(outsideTemperature(zdan)), QStringLiteral("Т улицы")});
    s.sensors.push_back(
        {3, 0, float(17.5 + 1.5 * std::sin(pi2 * double(tick_) / 3600.0)), QStringLiteral("Т в котельной")});
    out_.sensors.push_back(std::move(s));
}

void Simulator::send(const Kontroller& k, const std::vector<TCanFrame>& frames) {
    for (const auto& f : frames)
        out_.frames.push_back({k.uzel(), simNow_, f});
}

void Simulator::runSchedule() {
    while (!pending_.empty() && pending_.front().atSeconds <= tick_) {
        applyFault(pending_.front());
        pending_.erase(pending_.begin());
    }
    for (auto it = active_.begin(); it != active_.end();) {
        if (it->endTick >= 0 && it->endTick <= tick_) {
            const FaultPlan plan = it->plan;
            it = active_.erase(it);
            healFault(plan);
        } else {
            ++it;
        }
    }
}

void Simulator::note(const FaultPlan& fault, const QString& what) {
    QString who =
        fault.number != 0 ? QStringLiteral("device %1").arg(fault.number) : QStringLiteral("the site");
    if (fault.uzel != 0)
        who += QStringLiteral(" of node %1")
                   .arg(QStringLiteral("%1").arg(quint32(fault.uzel), 8, 16, QChar(u'0')).toUpper());
    out_.events.push_back(QStringLiteral("%1: %2").arg(who, what));
}

bool Simulator::applyFault(const FaultPlan& fault) {
    Kontroller* k = fault.number != 0 ? find(fault.uzel, fault.number) : nullptr;
    if (fault.number != 0 && !k) {
        note(fault, QStringLiteral("no such controller"));
        return false;
    }
    bool done = true;
    switch (fault.kind) {
    case FaultKind::Sensor:
        done = k->breakSensor(fault.sensor, fault.kontur, true);
        break;
    case FaultKind::Pump:
        done = k->tripPump(fault.kontur, fault.pump);
        break;
    case FaultKind::MainsLost:
        if (k) {
            k->setMains(false);
        } else {
            for (auto& each : kontrollery_)
                if (each->uzel() == fault.uzel)
                    each->setMains(false);
            out_.alarms.push_back({fault.uzel, simNow_, true, '8', {}});
        }
        break;
    case FaultKind::Silent:
        if (!isSilent(fault.uzel, fault.number))
            silent_.emplace_back(fault.uzel, fault.number);
        break;
    case FaultKind::AddressConflict:
        // The controller that finds a twin on the bus says so once; the twin is not simulated.
        out_.frames.push_back({k->uzel(), simNow_, dataFrame(k->key() | kConflictWord, nullptr, 0)});
        break;
    }
    static const char* const what[] = {"sensor broken", "pump tripped", "mains lost", "silent",
                                       "address conflict"};
    note(fault,
         done ? QString::fromLatin1(what[int(fault.kind)]) : QStringLiteral("fault does not apply to it"));
    if (done && fault.kind != FaultKind::Pump && fault.kind != FaultKind::AddressConflict)
        active_.push_back({fault, fault.durationSeconds > 0 ? tick_ + fault.durationSeconds : -1});
    return done;
}

void Simulator::healFault(const FaultPlan& fault) {
    Kontroller* k = fault.number != 0 ? find(fault.uzel, fault.number) : nullptr;
    switch (fault.kind) {
    case FaultKind::Sensor:
        if (k)
            k->breakSensor(fault.sensor, fault.kontur, false);
        break;
    case FaultKind::MainsLost:
        if (k) {
            k->setMains(true);
        } else {
            for (auto& each : kontrollery_)
                if (each->uzel() == fault.uzel)
                    each->setMains(true);
            out_.alarms.push_back({fault.uzel, simNow_, false, '8', {}});
        }
        break;
    case FaultKind::Silent:
        silent_.erase(std::remove(silent_.begin(), silent_.end(), std::make_pair(fault.uzel, fault.number)),
                      silent_.end());
        break;
    case FaultKind::Pump:
    case FaultKind::AddressConflict:
        break;
    }
    static const char* const what[] = {"sensor repaired", "", "mains back", "speaks again", ""};
    if (*what[int(fault.kind)])
        note(fault, QString::fromLatin1(what[int(fault.kind)]));
    active_.erase(std::remove_if(active_.begin(), active_.end(),
                                 [&](const ActiveFault& a) {
                                     return a.plan.kind == fault.kind && a.plan.uzel == fault.uzel &&
                                            a.plan.number == fault.number;
                                 }),
                  active_.end());
}

std::vector<Kontroller*> Simulator::targets(UzelIdent uzel, std::uint32_t word, bool broadcast) {
    const int number = deviceNumber(word), type = deviceType(word);
    std::vector<Kontroller*> out;
    for (auto& k : kontrollery_)
        if (k->uzel() == uzel && k->type() == type && (k->number() == number || (broadcast && number == 0)) &&
            k->powered() && !isSilent(uzel, k->number()))
            out.push_back(k.get());
    return out;
}

void Simulator::receive(UzelIdent uzel, const TCanFrame& frame) {
    const std::uint32_t word = frame.ident;
    if ((word & ~kExtendedFlag) == kTimeBroadcastWord) {
        if (frame.dataLength() < 6)
            return;
        const auto& d = frame.data;
        const QDate date(2000 + d[5], d[4], d[3]);
        const QTime time(fromBcd(d[1]), fromBcd(d[0]));
        if (!date.isValid() || !time.isValid())
            return;
        const qint64 skew = simNow_.secsTo(QDateTime(date, time)) + simNow_.time().second();
        for (std::size_t i = 0; i < kontrollery_.size(); ++i)
            if (kontrollery_[i]->uzel() == uzel)
                clockSkew_[i] = std::abs(skew) < 120 ? 0 : skew;
        return;
    }
    std::vector<TCanFrame> frames;
    if (word & kServiceBit) {
        for (Kontroller* k : targets(uzel, word, false)) {
            frames.clear();
            k->handleRequest(word, frames);
            send(*k, frames);
        }
    } else if ((word & 0x8000E00Fu) == 0x0000A000u) {
        for (Kontroller* k : targets(uzel, word, true)) {
            frames.clear();
            k->handleCommand(frame, frames);
            send(*k, frames);
        }
    }
}

} // namespace kelcon::kelsim
