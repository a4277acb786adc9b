#include "app/KelconSystem.h"

namespace kelcon {

KelconSystem::KelconSystem(ConsoleEnv env, Options options, QObject* parent)
    : QObject(parent), console_(std::move(env))
{
    auto post = [this](const QString& text) { console_.log().PostEvent(text); };

    server_ = std::make_unique<NodeServer>(console_);
    server_->install();

    client_ = std::make_unique<NodeClient>(console_);
    attachNodeClient(console_, *client_);

    forwarder_ = std::make_unique<AlarmForwarder>(console_);
    attachAlarmForwarder(console_, *forwarder_);
    server_->forwardAlarmText = [this](const QByteArray& sap) { forwarder_->ForwardAlarmText(sap); };
    attachInactivityCheck(console_, console_.view());

    mail_ = std::make_unique<TAlarmMail>(post, options.mailTransport);
    console_.hooks().addAlarmMailLine = [this](const QString& line) { mail_->AddAlarmLine(line); };
    console_.hooks().mailMinuteTick = [this](const QDateTime& now) { mail_->MinuteTick(now); };

    TUpdateClient::Hooks updateHooks;
    updateHooks.postEvent = post;
    updateHooks.quitProgram = options.quitProgram;
    update_ = std::make_unique<TUpdateClient>(UpdateSettings{}, options.launcher ? *options.launcher : processLauncher_,
                                              updateHooks);
    console_.hooks().updateMinuteTick = [this](bool listOpen) { update_->MinuteTick(listOpen); };
    console_.hooks().updateHourTick = [this](const QDateTime& now) { update_->HourTick(now); };

    bridge1_ = std::make_unique<SerialBridge>(1, post);
    bridge2_ = std::make_unique<SerialBridge>(2, post);
    console_.hooks().configureBridge = [this](int n, const TComParam& p) { bridge(n).load(p); };
    console_.hooks().bridgeListening = [this](int n) { return bridge(n).isListening(); };
}

KelconSystem::~KelconSystem()
{
    console_.shutDown();
}

bool KelconSystem::start()
{
    if (!console_.start())
        return false;
    applyLoadedSettings();
    return true;
}

void KelconSystem::applyLoadedSettings()
{
    const TSettings& s = console_.state().settings;
    MailSettings m;
    m.sendMail = s.sendMail;
    m.smtpAddr = s.smtpAddr;
    m.smtpPort = s.smtpPort;
    m.sslMail = s.sslMail;
    m.fromMail = s.fromMail;
    m.toMail = s.toMail;
    m.logMail = s.logMail;
    m.passMail = s.passMail;
    m.subjMail = s.subjMail;
    mail_->setSettings(m);

    UpdateSettings u = update_->settings();
    u.host = s.updateHost;
    u.autoUpdate = s.autoUpdate;
    u.folder = console_.folder();
    update_->setSettings(u);
}

} // namespace kelcon
