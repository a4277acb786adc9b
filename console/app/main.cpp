#include "app/KelconSystem.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    // SIGTERM and SIGINT leave the program the way "Вы&ход" does. They are blocked before any
    // thread exists, so no thread (the database engine's included) is interrupted by them, and
    // are read from a descriptor by the event loop. The Firebird client would otherwise handle
    // them itself by shutting the engine down from another thread while this one is inside it.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    const int stopSignals = ::signalfd(-1, &stopSet, SFD_CLOEXEC);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelcon"));
    QApplication::setApplicationDisplayName(QStringLiteral("Диспетчеризация KEL"));
    QApplication::setQuitOnLastWindowClosed(false);

    using namespace kelcon;
    SystemClock clock;
    MainWindow window;
    AlarmListWindow alarms;

    ConsoleEnv env;
    env.folder = QDir::currentPath();
    env.clock = &clock;
    env.prompt = &window;
    env.view = &window;
    env.popup = &alarms;
    env.pause = [](int ms) { QThread::msleep(ulong(ms)); };

    KelconSystem::Options options;
    options.quitProgram = [] { QCoreApplication::exit(0); };
    KelconSystem system(env, options);
    window.attach(&system);
    alarms.onClose = [&] { AcknowledgeAlarms(system.console(), &alarms); };

    window.show();
    if (!system.start())
        return 0;
    QStringList entries;
    for (const auto& node : system.console().remoteNodes())
        entries << node.entry();
    window.fillRemoteNodes(entries);

    QSocketNotifier stopNotifier(stopSignals, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info;
        [[maybe_unused]] auto n = ::read(stopSignals, &info, sizeof info);
        system.shutDown();
        QCoreApplication::exit(0);
    });
    return app.exec();
}
