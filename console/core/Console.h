#pragma once

#include "can/Adapter.h"
#include "can/DeviceRegister.h"
#include "can/FrameDispatcher.h"
#include "can/RequestSender.h"
#include "core/ConsoleState.h"
#include "core/DateTime.h"
#include "core/EventLog.h"
#include "storage/CommitScheduler.h"
#include "storage/Db.h"
#include "storage/FrameLog.h"
#include "storage/Settings.h"

#include <QObject>
#include <QTimer>

#include <functional>

namespace kelcon {

class AlarmPopup;
class MainView;
class OperatorPrompt;

// What the console is given from outside: its folder, its clock, its windows and where the
// adapter library comes from.
struct ConsoleEnv {
    QString folder;
    const Clock* clock = nullptr;
    OperatorPrompt* prompt = nullptr;
    MainView* view = nullptr;
    AlarmPopup* popup = nullptr;
    Adapter::Loader loadAdapterLibrary; // unset: libucanx.so through the system's search
    // Pause between attempts at a locked event database; tests pass a no-op.
    std::function<void(int ms)> pause;
    // False: the caller drives tick() itself (tests with a manual clock); no timer of our own.
    bool ownTimer = true;
};

// Subsystems that join later hang in here; a hook left unset is skipped.
struct ConsoleHooks {
    std::function<bool(quint16 port)> startServer; // true when listening
    std::function<void()> stopServer;
    std::function<void()> closeRemoteClient;
    std::function<void(int bridge, const TComParam& param)> configureBridge; // 1 or 2
    std::function<bool(int bridge)> bridgeListening;
    std::function<void()> expireIdleNodes;
    std::function<void(const QString& line)> addAlarmMailLine; // an alarm line for the mail
    std::function<void(const QDateTime&)> mailMinuteTick;      // retries what was not mailed
    std::function<void()> reconnectRemote;
    std::function<void()> checkInactiveDevices;
    std::function<void(bool listWindowOpen)> updateMinuteTick; // a pending update attempt
    std::function<void(const QDateTime&)> updateHourTick;      // Monday 10:00 arms the check
    std::function<void()> sendTimeBroadcast;
    std::function<void()> retryAlarmForwarding;
    // The node registry's name of a node (empty for an unknown one).
    std::function<QString(UzelIdent)> nodeName;
};

// The running console without its windows: start-up, the one-second tick and shutdown, and the
// objects every frame and request passes through.
class Console : public QObject {
    Q_OBJECT
public:
    explicit Console(ConsoleEnv env, QObject* parent = nullptr);
    ~Console() override;

    // False: the program must end (exit code 0); the operator has been told why.
    bool start();
    // Leaves the program in order; safe to call twice.
    void shutDown();
    // "Вы&ход": asks, and shuts down on Yes.
    bool confirmExit();

    // One tick at the clock's time; the timer calls it every second.
    void tick();
    bool isRunning() const { return running_; }

    ConsoleState& state() { return state_; }
    ConsoleHooks& hooks() { return hooks_; }
    EventLog& log() { return log_; }
    DbConnection& eventDb() { return eventDb_; }
    SettingsStore& settings() { return settingsStore_; }
    Adapter& adapter() { return adapter_; }
    FrameDispatcher& dispatcher() { return dispatcher_; }
    DeviceRegister& deviceRegister() { return register_; }
    RequestSender& requests() { return requests_; }
    const Clock& clock() const { return *env_.clock; }
    OperatorPrompt* prompt() const { return env_.prompt; }
    MainView* view() const { return env_.view; }
    AlarmPopup* popup() const { return env_.popup; }
    const QString& folder() const { return env_.folder; }
    QList<SettingsStore::RemoteNode> remoteNodes() const { return remoteNodes_; }

    // "Диспетчеризация KEL", or the node name when one is set.
    QString applicationTitle() const;

signals:
    void stopped();

private:
    bool openEventDatabase();
    void applySettings();
    void alarmSignal();
    void minuteTasks(const QDateTime& now);
    void hourTasks(const QDateTime& now);
    void reportDatabaseError(const QString& text);
    QString buildingName(UzelIdent node, int number, int type);

    ConsoleEnv env_;
    ConsoleState state_;
    ConsoleHooks hooks_;
    EventLog log_;
    DbConnection eventDb_;
    SettingsStore settingsStore_;
    FrameLog frameLog_;
    DeviceRegister register_;
    FrameDispatcher dispatcher_;
    Adapter adapter_;
    RequestSender requests_;
    CommitScheduler commits_;
    QTimer timer_;
    QList<SettingsStore::RemoteNode> remoteNodes_;
    QDateTime lastMinuteRun_; // two ticks within one second 0 must not run a minute twice
    bool running_ = false;
    bool started_ = false;
};

} // namespace kelcon
