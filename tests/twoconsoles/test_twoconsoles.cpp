// Two consoles in one process over loopback, each on its own database files: B serves the bus
// (the scripted adapter), A has no adapter of its own and reaches B's data and bus over the node
// link, and passes its alarms on to B as the dispatcher.
#include "FakeAdapter.h"
#include "../core/HeadlessEnv.h"

#include "app/KelconSystem.h"
#include "can/Requests.h"
#include "nodelink/Messages.h"
#include "nodelink/RemoteQueries.h"
#include "storage/Schema.h"
#include "storage/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

using namespace kelcon;

namespace {

const QDateTime kStart(QDate(2030, 4, 1), QTime(12, 0, 5));

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Settings that hold from the console's first start: the files are created the way start-up
// creates them and the rows written before the console opens them.
void presetSettings(const QString& folder, const std::map<QString, QString>& values) {
    DbConnection eventDb;
    openDatabases(folder, eventDb);
    SettingsStore store(databasePath(folder, kSettingsDbFile));
    for (const auto& [name, value] : values) {
        store.read(name); // a missing row is created empty; write only changes rows
        store.write(name, value);
    }
}

TCanFrame frame(std::uint32_t word, std::initializer_list<std::uint8_t> data) {
    TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

// The open list window of A: keeps the last reply it was handed.
struct ReplyRecorder : RemoteReplyConsumer {
    void takeReply(Code code, QByteArrayView message) override {
        last = message.toByteArray();
        lastCode = code;
        ++count;
    }
    QByteArray last;
    Code lastCode = Code::None;
    int count = 0;
};

struct Station {
    QTemporaryDir dir;
    ManualClock clock{kStart};
    RecordingViews views;
    std::unique_ptr<KelconSystem> system;

    void start(bool withAdapter) {
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        env.ownTimer = false;
        if (withAdapter)
            env.loadAdapterLibrary = [] { return ucanxFromTable(fake::api()); };
        else
            env.loadAdapterLibrary = [] { return std::unique_ptr<UcanxLibrary>(); };
        system = std::make_unique<KelconSystem>(env, KelconSystem::Options{});
        ASSERT_TRUE(system->start()) << views.texts().join('\n').toStdString();
    }
    Console& console() { return system->console(); }
    QStringList linesWith(const QString& part) const { return views.texts().filter(part); }
};

class TwoConsoles : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(a.dir.isValid() && b.dir.isValid());
        port = freePort();
        presetSettings(b.dir.path(), {{QStringLiteral("portremot"), QString::number(port)},
                                      {QStringLiteral("passw_vkl"), QStringLiteral("true")},
                                      {QStringLiteral("passw_upr"), QStringLiteral("Ключ7")}});
        // A listens on a port of its own; the node link and forwarding reach B on B's port, which
        // A takes as its setting once started (two consoles on one host cannot share it).
        presetSettings(a.dir.path(), {{QStringLiteral("portremot"), QString::number(freePort())},
                                      {QStringLiteral("only_remot"), QStringLiteral("true")},
                                      {QStringLiteral("adr_disp"), QStringLiteral("127.0.0.1#Узел Б")},
                                      {QStringLiteral("ip_alert"), QStringLiteral("127.0.0.1")},
                                      {QStringLiteral("passw_vkl"), QStringLiteral("true")},
                                      {QStringLiteral("passw_upr"), QStringLiteral("неверный")}});
        b.start(true);
        ASSERT_TRUE(b.console().state().adapterReady);
        ASSERT_TRUE(b.system->server().isListening());
        ASSERT_EQ(b.system->server().serverPort(), port);
        a.start(false);
        a.console().state().settings.remotePort = port;
    }

    void TearDown() override {
        if (a.system)
            a.system->shutDown();
        if (b.system)
            b.system->shutDown();
    }

    quint16 port = 0;
    Station b; // declared first: it outlives A
    Station a;
};

TEST_F(TwoConsoles, RemoteModeServesListsRequestsAndGuardedSettings) {
    // B's register learns a few devices from its own bus.
    const std::uint32_t kel02 = makeDeviceKey(5, 2), kel04 = makeDeviceKey(7, 4), kel06 = makeDeviceKey(3, 6);
    auto& dispatcher = b.console().dispatcher();
    for (std::uint32_t key : {kel02, kel04, kel06})
        dispatcher.dispatch(frame(key | kSlotDevice << 8, {1, 2, 3, 4, 5, 6, 7, 8}), b.clock.now(), 0);
    dispatcher.dispatch(frame(makeDeviceKey(9, 8) | kAddressConflict, {}), b.clock.now(), 0);
    b.clock.advance(600); // long enough for every device to count as inactive
    a.clock.advance(600);

    const auto nodes = a.console().settings().remoteNodes();
    ASSERT_EQ(nodes.size(), 1);
    EXPECT_EQ(nodes[0].entry(), QStringLiteral("Узел Б (127.0.0.1)"));
    a.system->client().connectTo(nodes[0].entry());
    ASSERT_TRUE(waitFor([&] { return a.console().state().remoteLinkUp; })) << a.views.texts().join('\n').toStdString();

    ReplyRecorder list;
    a.system->client().setActiveList(&list);
    const TSettings& bs = b.console().state().settings;
    struct Case {
        Code request;
        std::function<QByteArray()> local;
    } cases[] = {
        {Code::GTP, [&] { return BuildPointList(b.console().eventDb()); }},
        {Code::GTZ, [&] { return BuildZoneList(b.console().eventDb()); }},
        {Code::GNW, [&] { return BuildInactiveList(b.console().eventDb(), b.clock.now(), bs.neact02, bs.neact06); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(codeText(c.request).toByteArray().toStdString());
        const int before = list.count;
        ASSERT_TRUE(a.system->client().sendRequest(buildListRequest(c.request)));
        ASSERT_TRUE(waitFor([&] { return list.count > before; }));
        const QByteArray local = c.local();
        EXPECT_GT(local.size(), kReplyHeaderSize) << "the register has rows for this list";
        EXPECT_EQ(list.last.toHex(), local.toHex());
    }

    // A request of A lands on B's bus.
    auto& sent = fake::script().sent;
    const std::uint32_t poll = DeviceDataWord(kel02);
    sent.clear();
    a.console().requests().SendRequest(0, poll);
    ASSERT_TRUE(waitFor([&] { return !sent.empty(); }));
    EXPECT_EQ(sent.back().ident, poll);

    // A settings write under the wrong change password changes nothing; the plain request sent
    // after it shows that B has read past it.
    const std::uint32_t write = kel02 | 0xA000u;
    static_assert(IsSettingsWrite(kel02 | 0xA000u));
    const std::uint8_t value[] = {0x11, 0x22};
    sent.clear();
    a.console().requests().SendData(0, write, value, 2);
    a.console().requests().SendRequest(0, poll);
    ASSERT_TRUE(waitFor([&] { return !sent.empty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ident, poll);

    // With the right password it goes through.
    a.console().state().settings.networkPassword = QStringLiteral("Ключ7");
    sent.clear();
    a.console().requests().SendData(0, write, value, 2);
    ASSERT_TRUE(waitFor([&] { return !sent.empty(); }));
    EXPECT_EQ(sent[0].ident, write);
    EXPECT_EQ(sent[0].len & 0x0F, 2);
    EXPECT_EQ(sent[0].data[0], 0x11);
    EXPECT_EQ(sent[0].data[1], 0x22);
    a.system->client().setActiveList(nullptr);
}

TEST_F(TwoConsoles, AlarmsOfAReachBInOrderAndWaitWhileBIsDown) {
    const QString tail = QStringLiteral(" на: ");
    auto& dispatcher = a.console().dispatcher();
    dispatcher.dispatch(frame(makeDeviceKey(17, 4) | kAddressConflict, {}), a.clock.now(), 0);
    a.clock.advance(1);
    dispatcher.dispatch(frame(makeDeviceKey(18, 4) | kAddressConflict, {}), a.clock.now(), 0);
    ASSERT_TRUE(waitFor([&] { return b.linesWith(tail).size() == 2; })) << b.views.texts().join('\n').toStdString();
    QStringList lines = b.linesWith(tail);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("Конфликт адресов KEL-04 адрес № 0017"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Конфликт адресов KEL-04 адрес № 0018"))) << lines[1].toStdString();
    EXPECT_TRUE(a.system->forwarder().records().empty());

    // B goes away: A's next alarms wait in its queue.
    b.system->server().stop();
    a.clock.advance(1);
    dispatcher.dispatch(frame(makeDeviceKey(19, 4) | kAddressConflict, {}), a.clock.now(), 0);
    dispatcher.dispatch(frame(makeDeviceKey(20, 4) | kAddressConflict, {}), a.clock.now(), 0);
    const auto idle = [&] { return a.system->forwarder().connectionState() == QAbstractSocket::UnconnectedState; };
    ASSERT_TRUE(waitFor(idle));
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitFor(idle));
    EXPECT_EQ(a.system->forwarder().records().size(), 2u);
    EXPECT_EQ(b.linesWith(tail).size(), 2);

    // B is back: the minute tick of A delivers them.
    ASSERT_TRUE(b.system->server().start(port));
    a.clock.set(QDateTime(kStart.date(), QTime(12, 1, 0)));
    a.console().tick();
    ASSERT_TRUE(waitFor([&] { return b.linesWith(tail).size() == 4; })) << b.views.texts().join('\n').toStdString();
    lines = b.linesWith(tail);
    EXPECT_TRUE(lines[2].contains(QStringLiteral("адрес № 0019"))) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].contains(QStringLiteral("адрес № 0020"))) << lines[3].toStdString();
    EXPECT_TRUE(a.system->forwarder().records().empty());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
