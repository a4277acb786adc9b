#include "storage/CommitScheduler.h"

#include "storage/Db.h"

namespace kelcon {

CommitScheduler::CommitScheduler(std::function<void()> commit, int intervalMs, QObject* parent)
    : QObject(parent), commit_(std::move(commit)) {
    timer_.setSingleShot(true);
    timer_.setInterval(intervalMs);
    connect(&timer_, &QTimer::timeout, this, &CommitScheduler::fire);
}

void CommitScheduler::markDirty() {
    dirty_ = true;
    if (!timer_.isActive())
        timer_.start();
}

void CommitScheduler::commitNow() {
    timer_.stop();
    dirty_ = false;
    commit_();
}

void CommitScheduler::fire() {
    if (!dirty_)
        return;
    dirty_ = false;
    try {
        commit_();
    } catch (const DbError& e) {
        if (onError_)
            onError_(e.text());
    } catch (const std::exception& e) {
        if (onError_)
            onError_(QString::fromLocal8Bit(e.what()));
    }
}

} // namespace kelcon
