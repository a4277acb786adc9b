#include "TestSupport.h"
#include "serial/NodeTunnels.h"

#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

using namespace kelcon;
using namespace kelcon::test;

namespace {

constexpr int kWait = 5000;

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>(i % 251);
    return b;
}

struct SplitCase {
    const char* name;
    TunnelLine line;
    int size;
    const char* code;
    QList<int> chunks;
};

const SplitCase kSplits[] = {
    {"nothing read, nothing sent", TunnelLine::Com1, 0, "SC1", {}},
    {"one byte", TunnelLine::Com1, 1, "SC1", {1}},
    {"exactly one full chunk", TunnelLine::Com2, 255, "SC2", {255}},
    {"one byte over", TunnelLine::Com2, 256, "SC2", {255, 1}},
    {"600 bytes of line 1", TunnelLine::Com1, 600, "SC1", {255, 255, 90}},
    {"RS-485 split the same way", TunnelLine::Rs485, 600, "SC5", {255, 255, 90}},
};

// The payloads of a run of tunnel messages, checking each one's code and length byte.
QByteArray payloadOf(const QList<QByteArray>& messages, const char* code, const QList<int>& chunks)
{
    QByteArray all;
    EXPECT_EQ(messages.size(), chunks.size());
    for (qsizetype i = 0; i < messages.size() && i < chunks.size(); ++i) {
        const QByteArray& m = messages[i];
        EXPECT_EQ(m.left(3), QByteArray(code));
        EXPECT_EQ(static_cast<unsigned char>(m[3]), chunks[i]);
        EXPECT_EQ(m.size(), 4 + chunks[i]);
        all += m.mid(4);
    }
    return all;
}

} // namespace

TEST(TunnelMessages, SplitIntoChunksOfAtMost255)
{
    for (const auto& c : kSplits) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes = pattern(c.size);
        EXPECT_EQ(payloadOf(buildTunnelMessages(c.line, bytes), c.code, c.chunks), bytes);
    }
}

TEST(NodeTunnels, ClientBytesGoToTheNodeAnswersToEveryClient)
{
    EventLog events;
    QList<QByteArray> toNode;
    const TunnelPorts ports{freePort(), freePort(), freePort()};
    NodeTunnels tunnels(
        0x12AB, QStringLiteral("Узел 1"), ports, [&](const QByteArray& m) { toNode << m; }, events.sink());
    ASSERT_TRUE(tunnels.listen());
    EXPECT_TRUE(events.lines.isEmpty());

    QTcpSocket a, b, other;
    a.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(ports.com1));
    b.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(ports.com1));
    other.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(ports.com2));
    ASSERT_TRUE(a.waitForConnected(kWait) && b.waitForConnected(kWait) && other.waitForConnected(kWait));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return tunnels.clientCount(TunnelLine::Com1) == 2 && tunnels.clientCount(TunnelLine::Com2) == 1;
        },
        kWait));

    // All 600 bytes are waiting when the tunnel reads, as one read.
    const QByteArray bytes = pattern(600);
    a.write(bytes);
    ASSERT_TRUE(a.waitForBytesWritten(kWait));
    ASSERT_TRUE(QTest::qWaitFor([&] { return toNode.size() >= 3; }, kWait));
    EXPECT_EQ(payloadOf(toNode, "SC1", {255, 255, 90}), bytes);

    toNode.clear();
    other.write("AT\r");
    ASSERT_TRUE(other.waitForBytesWritten(kWait));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !toNode.isEmpty(); }, kWait));
    EXPECT_EQ(toNode, QList<QByteArray>{QByteArray("SC2\x03"
                                                   "AT\r",
                                                   7)});

    const QByteArray answer("\x00\xFFOK\r\n", 6);
    tunnels.sendToClients(TunnelLine::Com1, answer);
    QByteArray gotA, gotB;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            gotA += a.readAll();
            gotB += b.readAll();
            return gotA.size() >= answer.size() && gotB.size() >= answer.size();
        },
        kWait));
    EXPECT_EQ(gotA, answer);
    EXPECT_EQ(gotB, answer);
    // Line 2's answer reaches line 2 only; had line 1's leaked, it would be read first.
    tunnels.sendToClients(TunnelLine::Com2, "ok");
    QByteArray gotOther;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            gotOther += other.readAll();
            return gotOther.size() >= 2;
        },
        kWait));
    EXPECT_EQ(gotOther, QByteArray("ok"));

    a.disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tunnels.clientCount(TunnelLine::Com1) == 1; }, kWait));
    EXPECT_TRUE(events.lines.isEmpty()) << "tunnel clients come and go without event lines";
}

TEST(NodeTunnels, PortThatCannotBeOpenedIsReported)
{
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any, 0));
    EventLog events;
    const TunnelPorts ports{freePort(), taken.serverPort(), 70000};
    NodeTunnels tunnels(7, QStringLiteral("Насосная"), ports, {}, events.sink());
    EXPECT_FALSE(tunnels.listen());
    EXPECT_TRUE(tunnels.isListening(TunnelLine::Com1));
    EXPECT_FALSE(tunnels.isListening(TunnelLine::Com2));
    EXPECT_FALSE(tunnels.isListening(TunnelLine::Rs485));
    EXPECT_EQ(events.lines,
              (QStringList{QStringLiteral("Удаленный узел (Насосная): не удалось открыть TCP порт %1")
                               .arg(taken.serverPort()),
                           QStringLiteral("Удаленный узел (Насосная): не удалось открыть TCP порт 70000")}));
}
