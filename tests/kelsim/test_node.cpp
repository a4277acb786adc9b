#include "Frames.h"
#include "NodeAttachment.h"
#include "Runner.h"
#include "Simulator.h"
#include "core/Cp1251.h"
#include "core/DateTime.h"
#include "nodelink/Cutter.h"
#include "nodelink/Messages.h"
#include "nodelink/Parse.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <functional>

using namespace kelcon;
using namespace kelcon::kelsim;

namespace {

constexpr UzelIdent kSever = 0x101;

bool waitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// The console's end of the link: its server cuts what the node sends, as the console does.
struct ConsoleEnd {
    QTcpServer server;
    QTcpSocket* peer = nullptr;
    ServerReceiver rx;
    std::vector<std::pair<Code, QByteArray>> got;

    ConsoleEnd() { server.listen(QHostAddress::LocalHost, 0); }
    bool accept() {
        if (!waitFor([&] { return server.hasPendingConnections(); }))
            return false;
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, [this] {
            rx.append(peer->readAll());
            for (Received r = rx.next(); r.status != CutStatus::NeedMore; r = rx.next()) {
                EXPECT_EQ(r.status, CutStatus::Message);
                if (r.status != CutStatus::Message)
                    return;
                got.emplace_back(r.code, r.message.toByteArray());
            }
        });
        return true;
    }
    std::vector<QByteArray> all(Code code) const {
        std::vector<QByteArray> out;
        for (const auto& [c, m] : got)
            if (c == code)
                out.push_back(m);
        return out;
    }
    std::vector<TCanFrame> frames() const {
        std::vector<TCanFrame> out;
        for (const QByteArray& m : all(Code::RDC)) {
            const auto rdc = parseRdc(m);
            EXPECT_TRUE(rdc);
            if (!rdc)
                continue;
            EXPECT_EQ(rdc->node, kSever);
            out.insert(out.end(), rdc->frames.begin(), rdc->frames.end());
        }
        return out;
    }
};

} // namespace

TEST(KelsimNode, GreetsPushesItsSiteAndServesTheConsole) {
    ConsoleEnd console;
    ManualClock clock(QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7)));
    Simulator sim(defaultPlant(), clock);
    NodeAttachment node(*sim.plant().uzel(kSever), QStringLiteral("127.0.0.1"), console.server.serverPort());
    Runner runner(sim, nullptr, {&node});
    node.start();
    ASSERT_TRUE(console.accept());
    ASSERT_TRUE(waitFor([&] { return node.isConnected(); }));

    // Five minutes of the site: the supply power goes at 3:00 and comes back at 5:00.
    for (int s = 0; s < 310; s += 10) {
        clock.advance(10);
        runner.pump();
    }
    node.flush();
    ASSERT_TRUE(
        waitFor([&] { return console.all(Code::SAP).size() == 2 && console.all(Code::SDP).size() == 5; }));

    ASSERT_FALSE(console.got.empty());
    ASSERT_EQ(console.got.front().first, Code::SNU) << "the node greets first";
    const auto greeting = parseSnu(console.got.front().second);
    ASSERT_TRUE(greeting);
    EXPECT_EQ(greeting->node, kSever);
    EXPECT_EQ(greeting->name, QStringLiteral("Поселок Северный"));

    const auto frames = console.frames();
    ASSERT_GT(frames.size(), 50u);
    bool mainsAlarm = false;
    for (const auto& f : frames) {
        EXPECT_TRUE(deviceKey(f.ident) == makeDeviceKey(7, 8) || deviceKey(f.ident) == makeDeviceKey(24, 2));
        mainsAlarm = mainsAlarm ||
                     (f.ident == makeDeviceKey(7, 8) && f.len == 2 && f.data[0] == 5 && f.data[1] == 0x02);
    }
    EXPECT_TRUE(mainsAlarm) << "KEL-08 7 reports the mains loss among the site's frames";

    const auto lost = parseSap(console.all(Code::SAP)[0]), back = parseSap(console.all(Code::SAP)[1]);
    ASSERT_TRUE(lost && back);
    EXPECT_TRUE(lost->raised());
    EXPECT_EQ(lost->kind, '8');
    EXPECT_FALSE(back->raised());
    EXPECT_EQ(back->kind, '8');

    const auto sdp = parseSdp(console.all(Code::SDP).front());
    ASSERT_TRUE(sdp);
    EXPECT_EQ(sdp->node, kSever);
    ASSERT_EQ(sdp->sensors.size(), 3u);
    EXPECT_EQ(sdp->sensors[0].code(), 1);
    EXPECT_EQ(fromCp1251(sdp->sensors[0].name()), QStringLiteral("Давление"));
    EXPECT_NEAR(sdp->sensors[0].value(), 1.8, 0.2);

    // The console asks KEL-02 24 for one more degree of minimum temperature on circuit 1 and writes to
    // the node's first serial line; the answer comes in the next batch, the line echoes.
    console.got.clear();
    const std::uint32_t increase = makeDeviceKey(24, 2) | kServiceBit | (1u << 8) | 1u;
    console.peer->write(buildSrc(remoteFrame(increase)));
    console.peer->write(buildSc(TunnelLine::Com1, QByteArrayView("ping")));
    ASSERT_TRUE(waitFor([&] {
        node.flush();
        return !console.all(Code::RDC).empty() && !console.all(Code::RC1).empty();
    }));
    const auto answer = console.frames();
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].ident, makeDeviceKey(24, 2) | kParameterWord);
    EXPECT_EQ(answer[0].data[0], 0x01);
    EXPECT_EQ(answer[0].data[1], 26);
    const auto echo = parseRc(console.all(Code::RC1).front());
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->node, kSever);
    EXPECT_EQ(echo->data, QByteArray("ping"));
}
