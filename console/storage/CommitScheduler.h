#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace kelcon {

// Commits the event database soon after something was written, instead of after every event:
// under load a commit per socket event would force a disk flush each time. The first write after
// a commit arms a single-shot timer; everything written until it fires goes in one commit. So
// there are at most 1000/interval commits a second, and nothing stays uncommitted longer than
// one interval (forced writes stay on, a crash loses at most that much).
class CommitScheduler : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultIntervalMs = 250;

    explicit CommitScheduler(std::function<void()> commit, int intervalMs = kDefaultIntervalMs,
                             QObject* parent = nullptr);

    void markDirty();
    // A commit the caller needs now (e.g. after CREATE TABLE); also cancels the pending one.
    void commitNow();
    bool isDirty() const { return dirty_; }
    bool isArmed() const { return timer_.isActive(); }
    int intervalMs() const { return timer_.interval(); }

    // A commit that throws is reported here; the timer must not let the exception into the
    // event loop. Unset, the failure is dropped (the next write arms the timer again).
    void setErrorHandler(std::function<void(const QString&)> handler) { onError_ = std::move(handler); }

private:
    void fire();

    std::function<void()> commit_;
    std::function<void(const QString&)> onError_;
    QTimer timer_;
    bool dirty_ = false;
};

} // namespace kelcon
