#include "app/KelconSystem.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(stopPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv)
{
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

    // SIGTERM and SIGINT leave the program the way "Вы&ход" does.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, stopPipe) == 0) {
        auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
            char c;
            [[maybe_unused]] auto n = ::read(stopPipe[0], &c, 1);
            system.shutDown();
            QCoreApplication::exit(0);
        });
        struct sigaction sa = {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
    }

    window.show();
    if (!system.start())
        return 0;
    QStringList entries;
    for (const auto& node : system.console().remoteNodes())
        entries << node.entry();
    window.fillRemoteNodes(entries);
    return app.exec();
}
