#pragma once

#include "alarms/Forward.h"
#include "alarms/Inactive.h"
#include "alarms/Sendmail.h"
#include "core/Console.h"
#include "nodelink/NodeClient.h"
#include "nodelink/NodeServer.h"
#include "serial/SerialBridge.h"
#include "update/UpdateClient.h"

#include <QObject>

#include <memory>

namespace kelcon {

// Every subsystem of the console, built and wired together, without windows. The program puts its
// windows around one of these; the end-to-end tests drive one headless.
class KelconSystem : public QObject {
    Q_OBJECT
public:
    struct Options {
        UpdateLauncher* launcher = nullptr;      // unset: unzip and kelswap as processes
        std::function<void()> quitProgram;       // an update hands over: end the program
        MailTransportOptions mailTransport;
    };

    KelconSystem(ConsoleEnv env, Options options, QObject* parent = nullptr);
    ~KelconSystem() override;

    // Starts the console; false when the program must end.
    bool start();
    void shutDown() { console_.shutDown(); }

    Console& console() { return console_; }
    NodeClient& client() { return *client_; }
    NodeServer& server() { return *server_; }
    AlarmForwarder& forwarder() { return *forwarder_; }
    TAlarmMail& mail() { return *mail_; }
    TUpdateClient& update() { return *update_; }
    SerialBridge& bridge(int n) { return n == 1 ? *bridge1_ : *bridge2_; }

private:
    void applyLoadedSettings();

    Console console_;
    ProcessUpdateLauncher processLauncher_;
    std::unique_ptr<NodeServer> server_;
    std::unique_ptr<NodeClient> client_;
    std::unique_ptr<AlarmForwarder> forwarder_;
    std::unique_ptr<TAlarmMail> mail_;
    std::unique_ptr<TUpdateClient> update_;
    std::unique_ptr<SerialBridge> bridge1_, bridge2_;
};

} // namespace kelcon
