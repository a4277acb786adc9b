#pragma once

#include "UpdateProtocol.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "storage/Settings.h"

#include <functional>

class QTcpSocket;

namespace kelcon {

// The update host and the retired addresses it replaces are kept with the settings (kUpdateHost).
constexpr quint16 kUpdatePort = 4461;
constexpr int kMaxUpdateAttempts = 50;

struct UpdateSettings {
    QString host = kUpdateHost; // hostupdate
    quint16 port = kUpdatePort;
    bool autoUpdate = true;  // autoupdate
    QString folder;          // holds update.zip and kelswap; empty: the working folder
    int idleTimeoutMs = 30000; // the server said nothing for this long: the attempt failed
};

// How an update leaves the program. Tests put an observer in place of the installer start.
class UpdateLauncher {
public:
    virtual ~UpdateLauncher() = default;
    // "unzip -o update.zip" in folder; done(started) once it has ended, or at once when it could
    // not be started. Later calls must not block the event loop.
    virtual void runUnzip(const QString& folder, std::function<void(bool started)> done) = 0;
    // kelswap from folder, without arguments, not waited for; false when it could not be started.
    virtual bool startInstaller(const QString& folder) = 0;
};

class ProcessUpdateLauncher : public UpdateLauncher {
public:
    void runUnzip(const QString& folder, std::function<void(bool started)> done) override;
    bool startInstaller(const QString& folder) override;
};

// Self-update over the update server's line dialogue, event driven on one QTcpSocket.
class TUpdateClient final : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(const QString&)> postEvent;
        std::function<void(int percent, bool visible)> progress; // the main window's progress bar
        std::function<void()> quitProgram;                       // end with exit code 0
    };

    TUpdateClient(UpdateSettings settings, UpdateLauncher& launcher, Hooks hooks, QObject* parent = nullptr);
    ~TUpdateClient() override;

    void setSettings(const UpdateSettings& settings) { settings_ = settings; }
    const UpdateSettings& settings() const { return settings_; }

    // Pending from the weekly rule or from the settings dialog; the count of attempts starts anew.
    void SetUpdatePending();

    // At second 0 of each minute. No attempt while a list window is open, after 50 attempts of a
    // series, or while the previous attempt is still under way.
    void MinuteTick(bool listWindowOpen);
    // At minute 0 of each hour: Monday 10:00 starts a series when automatic updating is on.
    void HourTick(const QDateTime& now);

    // One attempt; the outcome arrives through the hooks.
    void CheckForUpdate();

    bool pending() const { return pending_; }
    int attempts() const { return attempts_; }
    bool attemptUnderWay() const { return socket_ != nullptr; }

private:
    enum class Stage { Connecting, Offer, FileLine, Receiving };

    QString folder() const;
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onIdleTimeout();
    void processOffer();
    void processFileLine();
    void processData();
    void fail();
    void endAttempt(bool sayEnd);
    void post(const QString& text);

    UpdateSettings settings_;
    UpdateLauncher& launcher_;
    Hooks hooks_;
    bool pending_ = false;
    int attempts_ = 0;

    QTcpSocket* socket_ = nullptr; // the attempt under way; a child of this
    Stage stage_ = Stage::Connecting;
    QByteArray buffer_;
    quint32 size_ = 0;
    bool progressShown_ = false;
    QTimer idleTimer_;
};

} // namespace kelcon
