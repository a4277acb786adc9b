#pragma once

#include "CanAttachment.h"
#include "NodeAttachment.h"
#include "Simulator.h"
#include "core/DateTime.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <vector>

namespace kelcon::kelsim {

// Carries the plant's output to its attachments and the console's frames back to the plant.
class Runner : public QObject {
    Q_OBJECT
public:
    Runner(Simulator& sim, CanAttachment* can, const std::vector<NodeAttachment*>& nodes,
           QObject* parent = nullptr);

    // Plays the plant up to its clock's "now" and sends everything out.
    void pump();
    // Load mode for benchmarks: the plant's clock is moved on as fast as needed to put `framesPerSecond`
    // frames on the bus, evenly over each second.
    void startLoad(ManualClock& clock, int framesPerSecond);

    qint64 busFrames() const { return busFrames_; }

signals:
    void event(const QString& text);

private:
    void route(SimOutput out);
    void loadTick();

    Simulator& sim_;
    CanAttachment* can_;
    std::map<UzelIdent, NodeAttachment*> nodes_;
    qint64 busFrames_ = 0;
    ManualClock* loadClock_ = nullptr;
    int rate_ = 0;
    QElapsedTimer loadTime_;
    qint64 loadSent_ = 0;
    std::deque<TCanFrame> backlog_;
    QTimer loadTimer_;
};

} // namespace kelcon::kelsim
