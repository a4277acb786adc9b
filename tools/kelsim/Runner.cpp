#include "Runner.h"

namespace kelcon::kelsim {

Runner::Runner(Simulator& sim, CanAttachment* can, const std::vector<NodeAttachment*>& nodes, QObject* parent)
    : QObject(parent), sim_(sim), can_(can) {
    if (can_)
        connect(can_, &CanAttachment::frameReceived, this, [this](const TCanFrame& f) {
            sim_.receive(0, f);
            route(sim_.advance());
        });
    for (NodeAttachment* n : nodes) {
        nodes_[n->ident()] = n;
        connect(n, &NodeAttachment::frameReceived, this, [this](UzelIdent uzel, const TCanFrame& f) {
            sim_.receive(uzel, f);
            route(sim_.advance());
        });
    }
    connect(&loadTimer_, &QTimer::timeout, this, &Runner::loadTick);
}

void Runner::pump() {
    if (!loadClock_)
        route(sim_.advance());
}

void Runner::route(SimOutput out) {
    for (const auto& f : out.frames) {
        if (f.uzel == 0) {
            if (loadClock_) {
                backlog_.push_back(f.frame);
            } else if (can_) {
                can_->send(f.frame);
                ++busFrames_;
            }
        } else if (auto it = nodes_.find(f.uzel); it != nodes_.end()) {
            it->second->queueFrame(f.time, f.frame);
        }
    }
    for (const auto& a : out.alarms)
        if (auto it = nodes_.find(a.uzel); it != nodes_.end())
            it->second->sendAlarm(a);
    for (const auto& s : out.sensors)
        if (auto it = nodes_.find(s.uzel); it != nodes_.end())
            it->second->sendSensors(s);
    for (const auto& e : out.events)
        emit event(e);
}

void Runner::startLoad(ManualClock& clock, int framesPerSecond) {
    loadClock_ = &clock;
    rate_ = framesPerSecond;
    loadSent_ = 0;
    loadTime_.start();
    loadTimer_.start(5);
}

void Runner::loadTick() {
    const qint64 due = rate_ * loadTime_.elapsed() / 1000 - loadSent_;
    // A bus that cannot keep up is not caught up with in one burst: the rest of the second is skipped.
    const qint64 burst = std::min<qint64>(due, std::max(1, rate_ / 20));
    for (qint64 i = 0; i < burst; ++i) {
        while (backlog_.empty()) {
            loadClock_->advance(1);
            route(sim_.advance());
        }
        if (can_)
            can_->send(backlog_.front());
        backlog_.pop_front();
        ++busFrames_;
    }
    loadSent_ += due;
}

} // namespace kelcon::kelsim
