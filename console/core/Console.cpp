#include "core/Console.h"

#include "core/Views.h"
#include "storage/Schema.h"

#include <QThread>

namespace kelcon {

namespace {
const QString kDefaultTitle = QStringLiteral("Диспетчеризация KEL");
}

Console::Console(ConsoleEnv env, QObject* parent)
    : QObject(parent),
      env_(std::move(env)),
      log_(env_.folder, *env_.clock),
      eventDb_(TransactionMode::ReadCommitted),
      settingsStore_(databasePath(env_.folder, kSettingsDbFile)),
      frameLog_(eventDb_),
      register_(eventDb_, *env_.clock),
      dispatcher_(state_, frameLog_, register_, log_),
      adapter_(state_, log_, *env_.clock,
               env_.loadAdapterLibrary ? env_.loadAdapterLibrary : Adapter::Loader([] { return loadUcanx(); })),
      requests_(state_, adapter_),
      commits_([this] { eventDb_.commit(); })
{
    adapter_.setFrameSink([this](const TCanFrame& f, const QDateTime& t) { dispatcher_.dispatch(f, t, 0); });
    log_.setMainView(env_.view);
    log_.setAlarmPopup(env_.popup);
    log_.setDatabase(&eventDb_);
    log_.setMailHook([this](const QString& line) {
        if (hooks_.addAlarmMailLine)
            hooks_.addAlarmMailLine(line);
    });
    dispatcher_.setMainView(env_.view);
    auto nodeName = [this](UzelIdent node) { return hooks_.nodeName ? hooks_.nodeName(node) : QString(); };
    register_.setNodeName(nodeName);
    AlarmNames names;
    names.buildingName = [this](UzelIdent node, int number, int type) { return buildingName(node, number, type); };
    names.nodeName = nodeName;
    dispatcher_.alarmText = [names](const TCanFrame& f, UzelIdent node) { return AlarmText(f, node, names); };
    dispatcher_.onDatabaseError = [this](const QString& text) { reportDatabaseError(text); };
    eventDb_.setTransactionStarted([this] { commits_.markDirty(); });
    commits_.setErrorHandler([this](const QString& text) { reportDatabaseError(text); });

    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] {
        try {
            tick();
        } catch (const DbError& e) {
            reportDatabaseError(e.text());
        }
    });
}

Console::~Console()
{
    shutDown();
}

void Console::reportDatabaseError(const QString& text)
{
    log_.PostEvent(text);
    if (env_.prompt)
        env_.prompt->error(text);
}

QString Console::buildingName(UzelIdent node, int number, int type)
{
    QString name;
    eventDb_.forEach(QStringLiteral("select NameZdan from SPISKEL where UzelIdent=:Uzel_ID and PriborNo=:NomerUstr "
                                    "and TypeNo=:TypeUstr"),
                     {{QStringLiteral("Uzel_ID"), node}, {QStringLiteral("NomerUstr"), number},
                      {QStringLiteral("TypeUstr"), type}},
                     [&](const DbRow& row) {
                         name = row.toString(QStringLiteral("NAMEZDAN")).trimmed();
                         return false;
                     });
    return name;
}

QString Console::applicationTitle() const
{
    const QString name = state_.settings.nodeName.trimmed();
    return name.isEmpty() ? kDefaultTitle : name;
}

bool Console::openEventDatabase()
{
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (openDatabases(env_.folder, eventDb_) == 0)
            return true;
        if (attempt < 3 && env_.pause)
            env_.pause(1000);
    }
    return false;
}

bool Console::start()
{
    try {
        if (!openEventDatabase()) {
            if (env_.prompt)
                env_.prompt->information(QStringLiteral("Файл Kelcon.fdb поврежден или заблокирован\n"
                                                        "Попробуйте снова, разблокируйте или удалите файл"));
            return false;
        }
        state_.settings = loadSettings(settingsStore_, [this](const QString& text) { log_.PostEvent(text); });
        applySettings();

        if (!state_.settings.remoteControlOnly)
            adapter_.setUp();

        if (env_.ownTimer)
            timer_.start();
        running_ = true;
        started_ = true;

        if (hooks_.startServer && hooks_.startServer(state_.settings.remotePort))
            log_.PostEvent(QStringLiteral("Старт сервиса удаленного управления"));
        for (int bridge : {1, 2}) {
            if (hooks_.bridgeListening && hooks_.bridgeListening(bridge))
                log_.PostEvent(QStringLiteral("COM%1: Старт сервиса удаленного доступа").arg(bridge));
        }

        const auto nodes = settingsStore_.remoteNodes();
        if (!nodes.isEmpty())
            remoteNodes_ = nodes;

        if (env_.view)
            env_.view->setTitle(applicationTitle());
        return true;
    } catch (const SettingsUnavailable&) {
        if (env_.prompt)
            env_.prompt->information(QStringLiteral("Файл Kelcon.sdb поврежден или заблокирован\n"
                                                    "Удалите файл или разблокируйте и попробуйте снова"));
    } catch (const DbError& e) {
        if (env_.prompt)
            env_.prompt->information(e.text());
    }
    timer_.stop();
    running_ = false;
    return false;
}

void Console::applySettings()
{
    if (!hooks_.configureBridge)
        return;
    if (state_.settings.com1)
        hooks_.configureBridge(1, *state_.settings.com1);
    if (state_.settings.com2)
        hooks_.configureBridge(2, *state_.settings.com2);
}

bool Console::confirmExit()
{
    if (env_.prompt && !env_.prompt->question(QStringLiteral("Вы действительно хотите закрыть программу?")))
        return false;
    shutDown();
    return true;
}

void Console::shutDown()
{
    if (!started_)
        return;
    started_ = false;
    running_ = false;
    timer_.stop();
    adapter_.shutDown();
    try {
        if (eventDb_.inTransaction())
            eventDb_.commit();
    } catch (const DbError& e) {
        log_.PostEvent(e.text());
    }
    if (hooks_.closeRemoteClient)
        hooks_.closeRemoteClient();
    if (hooks_.stopServer)
        hooks_.stopServer();
    log_.PostEvent(QStringLiteral("Закрываем программу"));
    try {
        eventDb_.close();
    } catch (const DbError&) {
        // A commit that failed above (and was posted) fails here again and the attachment is
        // dropped; a failed detach leaves nothing to save. Shutdown runs from a slot or a
        // destructor: nothing may leave it.
    }
    emit stopped();
}

void Console::tick()
{
    const QDateTime now = env_.clock->now();

    const QString& s = state_.spinner;
    state_.spinner = s == QStringLiteral("-")    ? QStringLiteral("\\")
                     : s == QStringLiteral("\\") ? QStringLiteral("|")
                     : s == QStringLiteral("|")  ? QStringLiteral("/")
                                                 : QStringLiteral("-");

    const QString counter = QString::number(state_.receivedFrames);
    QString status;
    if (state_.settings.remoteControlOnly && state_.receivedFrames == 0)
        status = state_.spinner + QStringLiteral("   только удаленное управление     | F1 - Помощь");
    else if (state_.settings.remoteControlOnly)
        status = state_.spinner + QStringLiteral("   удаленное управление, принято пакетов: ") + counter +
                 QStringLiteral("     | F1 - Помощь");
    else
        status = state_.spinner + QStringLiteral("   принято пакетов: ") + counter + QStringLiteral("     | F1 - Помощь");

    QString hint = state_.settings.nodeName.trimmed();
    if (state_.remoteMode)
        hint += QStringLiteral(": подключены к удаленному узлу - ") + state_.remoteNodeName;
    else if (state_.settings.remoteControlOnly)
        hint += QStringLiteral(": только удаленное управление");
    else
        hint += QStringLiteral(": принято пакетов: ") + counter;
    if (env_.view) {
        env_.view->setStatusText(status);
        env_.view->setTrayHint(hint);
    }

    if (state_.adapterReady)
        state_.receivedFrames += quint32(adapter_.poll());

    alarmSignal();

    if (now.time().second() != 0)
        return;
    // The timer is not tied to the clock: a late tick and the next one can both fall on second 0.
    const QDateTime minute(now.date(), QTime(now.time().hour(), now.time().minute()));
    if (minute == lastMinuteRun_)
        return;
    lastMinuteRun_ = minute;
    minuteTasks(now);
    if (now.time().minute() != 0)
        return;
    hourTasks(now);
}

void Console::alarmSignal()
{
    AlarmPopup* popup = env_.popup;
    if (!popup)
        return;
    if (popup->shapesVisible() || !state_.alarmIndicatorOn) {
        popup->setShapesVisible(false);
        return;
    }
    if (++state_.blinkCounter > 3600) {
        state_.blinkCounter = 0;
        popup->hide();
        state_.alarmIndicatorOn = false;
    }
    popup->setShapesVisible(true);
    if (popup->isShown())
        popup->playAlert();
}

void Console::minuteTasks(const QDateTime& now)
{
    if (hooks_.expireIdleNodes)
        hooks_.expireIdleNodes();
    if (hooks_.mailMinuteTick)
        hooks_.mailMinuteTick(now);
    if (eventDb_.inTransaction())
        eventDb_.commit();
    if (state_.remoteMode && !state_.remoteLinkUp && hooks_.reconnectRemote)
        hooks_.reconnectRemote();
    if (!state_.adapterReady && !state_.settings.remoteControlOnly)
        adapter_.setUp();
    if (!state_.settings.remoteControlOnly && hooks_.checkInactiveDevices)
        hooks_.checkInactiveDevices();
    if (hooks_.updateMinuteTick)
        hooks_.updateMinuteTick(state_.listWindowOpen);
    if (hooks_.retryAlarmForwarding)
        hooks_.retryAlarmForwarding();
}

void Console::hourTasks(const QDateTime& now)
{
    if (eventDb_.isOpen() && state_.adapterReady) {
        const QString file = eventDb_.fileName();
        eventDb_.close();
        eventDb_.open(file);
    }
    if (hooks_.updateHourTick)
        hooks_.updateHourTick(now);
    if (now.time().hour() == 3 && state_.settings.timeSync && hooks_.sendTimeBroadcast)
        hooks_.sendTimeBroadcast();
}

} // namespace kelcon
