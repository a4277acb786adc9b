#pragma once

#include "can/CanFrame.h"
#include "can/UcanxLibrary.h"
#include "core/DateTime.h"

#include <QDateTime>

#include <functional>
#include <memory>

namespace kelcon {

class EventLog;
struct ConsoleState;

// The console's own bus: binds the adapter library, sets the adapter up, fetches frames every
// tick and sends frames. Every failure is an event line, never an exception or a box.
class Adapter {
public:
    using Loader = std::function<std::unique_ptr<UcanxLibrary>()>;
    using FrameSink = std::function<void(const TCanFrame&, const QDateTime& receiveTime)>;

    static constexpr int kBatch = 100;      // frames asked for in one call
    static constexpr int kMaxBatches = 100; // calls per tick while the driver keeps returning full batches

    Adapter(ConsoleState& state, EventLog& log, const Clock& clock, Loader loader);
    ~Adapter();

    void setFrameSink(FrameSink sink) { sink_ = std::move(sink); }

    // Loads the library, finds a channel and configures the adapter. Sets and returns the
    // adapter-ready flag.
    bool setUp();
    // Dispatches what the driver holds and returns the number of frames. One call of the library
    // yields at most kBatch frames sharing one receive time; full batches are followed by another
    // call, so a busy bus is drained every tick instead of overflowing the driver's queue.
    int poll();
    // Reception off, adapter closed, library unloaded.
    void shutDown();

    // Puts one frame on the bus; the driver's status byte (0 = transmitted), 1 when not ready.
    int send(const TCanFrame& frame);

    int channel() const { return channel_; }

private:
    bool fail(const QString& message);
    bool configureController();
    int pollOnce(bool* failed);

    ConsoleState& state_;
    EventLog& log_;
    const Clock& clock_;
    Loader loader_;
    FrameSink sink_;
    std::unique_ptr<UcanxLibrary> lib_;
    CUsbCan* handle_ = nullptr;
    int channel_ = 0;
};

} // namespace kelcon
