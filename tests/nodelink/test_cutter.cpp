// Cutting messages off a byte stream, on the server's and on the client's side.
#include "nodelink/Cutter.h"
#include "nodelink/Messages.h"
#include "nodelink/Parse.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kelcon;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

const QDateTime kStamp(QDate(2021, 3, 9), QTime(14, 5, 7));
const std::vector<std::uint8_t> kData = {0x1E, 0x01, 0x03};
const Bytes kSpan(kData.data(), kData.size());

TCanFrame frame(std::uint32_t ident, std::uint8_t len)
{
    TCanFrame f;
    f.ident = ident;
    f.len = len;
    f.data = {1, 2, 3, 4, 5, 6, 7, 8};
    return f;
}

QByteArray rdc(UzelIdent node, int count)
{
    std::vector<RdcRecord> records;
    for (int i = 0; i < count; ++i)
        records.push_back({kStamp, frame(0x00A8F089u + std::uint32_t(i << 8), std::uint8_t(i % 9))});
    return buildRdc(node, records);
}

QByteArray sdp(UzelIdent node)
{
    const SdpRecord sensors[] = {makeSdpRecord(1, 0, 20.0f, "T1"), makeSdpRecord(2, 0, 21.0f, "T2"),
                                 makeSdpRecord(3, 0, 22.0f, "T3")};
    return buildSdp(node, 0x1234, kStamp, sensors);
}

struct Built {
    const char* name;
    QByteArray bytes;
    Code code;
};

// One of every message a server receives.
std::vector<Built> serverMessages()
{
    SpAvar alarm;
    alarm.ident = 0x00A80080u;
    return {
        {"CAN with data", buildCan(3, 0x00A8F089u, kSpan), Code::CAN},
        {"CAN without data", buildCan(0, 0x80A80084u, {}), Code::CAN},
        {"CPM", buildCpm(0, 0x00A8A080u, kSpan, "pw"), Code::CPM},
        {"CPM with eight bytes", buildCpm(0, 0x00A8A080u, Bytes(std::vector<std::uint8_t>(8, 7)), "pw"),
         Code::CPM},
        {"GTT", buildGtt(1, 2, 3), Code::GTT},
        {"GRT", buildGrt(0, 1.0, 2.0, 0x8008FF09u, 32), Code::GRT},
        {"GDT", buildGdt(0, 1.0, 2.0, kSensorIdent, 258), Code::GDT},
        {"GUT", buildGut(0, 1.0, 2.0, 0x0008FF05u), Code::GUT},
        {"DNW", buildDnw(0, 12, 6), Code::DNW},
        {"ZCN", buildZcn(0, 0x80A8E003u), Code::ZCN},
        {"ZPC", buildZpc(0, 0x80A80181u, "pw"), Code::ZPC},
        {"GTP", buildListRequest(Code::GTP), Code::GTP},
        {"GTZ", buildListRequest(Code::GTZ), Code::GTZ},
        {"GNW", buildListRequest(Code::GNW), Code::GNW},
        {"PAS", buildPas(alarm), Code::PAS},
        {"GSA", buildListRequest(Code::GSA), Code::GSA},
        {"RDC with records", rdc(0x1F, 3), Code::RDC},
        {"RDC without records", rdc(0x1F, 0), Code::RDC},
        {"SAP", buildSap(0x1F, 0, kStamp, '1', 'F', "text"), Code::SAP},
        {"SDP", sdp(0x1F), Code::SDP},
        {"SNM", buildSnm(0x1F), Code::SNM},
        {"SNU of a console", buildConsoleGreeting("Dispetch"), Code::SNU},
        {"SNU of a node", buildGreeting(0x1F, "Uzel"), Code::SNU},
        {"RC1", buildRc(TunnelLine::Com1, 0x1F, "abc"), Code::RC1},
        {"RC1 empty", buildRc(TunnelLine::Com1, 0x1F, {}), Code::RC1},
        {"RC2", buildRc(TunnelLine::Com2, 0x1F, QByteArray(255, 'x')), Code::RC2},
        {"RC4", buildRc(TunnelLine::Rs485, 0x1F, "z"), Code::RC4},
    };
}

// One of every message a console's client receives.
std::vector<Built> clientMessages()
{
    std::vector<SpTrend> points(3);
    std::vector<TablNoActUstr> inactive(1);
    return {
        {"QTP empty", buildReply(Code::QTP, {}), Code::QTP},
        {"QTZ", buildRecordReply<TablIPTZ>(Code::QTZ, std::vector<TablIPTZ>(2)), Code::QTZ},
        {"QRT", buildRecordReply<SpTrend>(Code::QRT, points), Code::QRT},
        {"QDT", buildRecordReply<DatcTrend>(Code::QDT, std::vector<DatcTrend>(4)), Code::QDT},
        {"QTT", buildQtt(20, 21, 23), Code::QTT},
        {"QNW", buildRecordReply<TablNoActUstr>(Code::QNW, inactive), Code::QNW},
        {"relayed CAN", buildRelayedCan(0, frame(0x00A8F089u, 8)), Code::CAN},
        {"relayed remote request", buildRelayedCan(5, frame(0x80A80084u, 0x40)), Code::CAN},
        {"QSA", buildAlarmLogReply(std::nullopt), Code::QSA},
        {"SDP", sdp(0x1F), Code::SDP},
        {"SNM", QByteArray("SNM"), Code::SNM},
    };
}

// What a receiver made of a stream: whole messages, and the places it gave up on a head.
struct Event {
    CutStatus status;
    Code code;
    QByteArray bytes;
    bool operator==(const Event&) const = default;
};

void drain(Receiver& r, std::vector<Event>& out)
{
    for (;;) {
        const Received got = r.next();
        if (got.status != CutStatus::Message && got.status != CutStatus::Unknown)
            return;
        out.push_back({got.status, got.code, got.message.toByteArray()});
    }
}

template <typename R>
std::vector<Event> feed(const std::vector<QByteArrayView>& chunks)
{
    R r;
    std::vector<Event> out;
    for (QByteArrayView c : chunks) {
        r.append(c);
        drain(r, out);
    }
    return out;
}

std::vector<Code> codes(const std::vector<Event>& events)
{
    std::vector<Code> out;
    for (const Event& e : events)
        out.push_back(e.status == CutStatus::Message ? e.code : Code::None);
    return out;
}

} // namespace

TEST(Cutter, EachMessageIsCutWhole)
{
    struct Side {
        const char* name;
        std::vector<Built> messages;
        Cut (*cut)(QByteArrayView);
    };
    const Side sides[] = {{"server", serverMessages(), &cutServerMessage},
                          {"client", clientMessages(), &cutClientMessage}};
    for (const Side& side : sides) {
        for (const Built& m : side.messages) {
            SCOPED_TRACE(std::string(side.name) + ": " + m.name);
            const Cut whole = side.cut(m.bytes + "GTPQTT");
            EXPECT_EQ(whole.status, CutStatus::Message);
            EXPECT_EQ(whole.code, m.code);
            EXPECT_EQ(whole.length, m.bytes.size());
            for (qsizetype n = 0; n < m.bytes.size(); ++n)
                ASSERT_EQ(side.cut(m.bytes.first(n)).status, CutStatus::NeedMore) << "prefix of " << n;
        }
    }
}

TEST(Cutter, SplitAtEveryOffsetEqualsWhole)
{
    // Each side's messages back to back, with garbage, blanks and a bad head or two between them.
    QByteArray server = "xx";
    for (const Built& m : serverMessages())
        server += m.bytes + (m.code == Code::SAP ? "\r\n" : "");
    server += "RDCabcdef0101" + buildListRequest(Code::GTP) + "CAN" + bytes({0, 0, 0, 0, 0, 0, 0, 0, 9}) +
              rdc(-1, 2);
    QByteArray client = "Q";
    for (const Built& m : clientMessages())
        client += m.bytes + "?";
    client += "SDP" + QByteArray(24, '0') + "A" + buildQtt(1, 2, 3);

    const auto serverWhole = feed<ServerReceiver>({server});
    const auto clientWhole = feed<ClientReceiver>({client});
    ASSERT_EQ(std::count_if(serverWhole.begin(), serverWhole.end(),
                            [](const Event& e) { return e.status == CutStatus::Message; }),
              qsizetype(serverMessages().size() + 2));
    ASSERT_EQ(std::count_if(clientWhole.begin(), clientWhole.end(),
                            [](const Event& e) { return e.status == CutStatus::Message; }),
              qsizetype(clientMessages().size() + 1));

    for (qsizetype i = 0; i <= server.size(); ++i)
        ASSERT_EQ(feed<ServerReceiver>({server.first(i), server.sliced(i)}), serverWhole) << "split at " << i;
    for (qsizetype i = 0; i <= client.size(); ++i)
        ASSERT_EQ(feed<ClientReceiver>({client.first(i), client.sliced(i)}), clientWhole) << "split at " << i;

    std::vector<QByteArrayView> single;
    for (qsizetype i = 0; i < server.size(); ++i)
        single.push_back(QByteArrayView(server).sliced(i, 1));
    EXPECT_EQ(feed<ServerReceiver>(single), serverWhole) << "a byte at a time";
}

TEST(Cutter, ChunkedAndCombinedDelivery)
{
    // A "GRT" in 10 + 18 bytes is handed over once, after the second chunk.
    const QByteArray grt = buildGrt(0, 44264.0, 44265.0, 0x8008FF09u, 0);
    ServerReceiver r;
    r.append(grt.first(10));
    Received got = r.next();
    EXPECT_EQ(got.status, CutStatus::NeedMore);
    EXPECT_EQ(got.code, Code::GRT);
    EXPECT_EQ(got.needed, 28);
    EXPECT_EQ(r.next().status, CutStatus::NeedMore);
    r.append(grt.sliced(10));
    got = r.next();
    ASSERT_EQ(got.status, CutStatus::Message);
    EXPECT_EQ(got.message, grt);
    EXPECT_EQ(r.next().status, CutStatus::NeedMore);
    EXPECT_EQ(r.pendingSize(), 0);

    // Two "GTP" in one chunk are two messages.
    EXPECT_EQ(codes(feed<ServerReceiver>({"GTPGTP"})), (std::vector<Code>{Code::GTP, Code::GTP}));

    // The node of an "RDC" is known as soon as its header is in, long before its records.
    const QByteArray big = rdc(0x0A0B0C0D, 200);
    ServerReceiver slow;
    slow.append(big.first(500));
    got = slow.next();
    EXPECT_EQ(got.status, CutStatus::NeedMore);
    EXPECT_EQ(got.node, 0x0A0B0C0D);
    EXPECT_EQ(got.needed, big.size());

    // A long reply reports how big it will be while it arrives.
    const QByteArray qrt = buildRecordReply<SpTrend>(Code::QRT, std::vector<SpTrend>(1000));
    ClientReceiver c;
    c.append(qrt.first(100));
    got = c.next();
    EXPECT_EQ(got.status, CutStatus::NeedMore);
    EXPECT_EQ(got.code, Code::QRT);
    EXPECT_EQ(got.needed, 16007);
    c.append(qrt.sliced(100));
    got = c.next();
    ASSERT_EQ(got.status, CutStatus::Message);
    EXPECT_EQ(readRecords<SpTrend>(*replyPayload(got.message)).size(), 1000u);
}

TEST(Cutter, LowerCaseHexResynchronises)
{
    // Lower case in the identifier, and in a record's data: one byte goes, the next "RDC" counts.
    QByteArray lowerIdent = rdc(0x1F, 1);
    lowerIdent[10] = 'f';
    QByteArray lowerData = rdc(0x1F, 2);
    lowerData[lowerData.size() - 1] = 'a'; // the very last character is checked too
    const QByteArray good = rdc(0x2E, 1);
    for (const QByteArray& bad : {lowerIdent, lowerData}) {
        EXPECT_EQ(cutServerMessage(bad).status, CutStatus::Invalid);
        EXPECT_EQ(cutServerMessage(bad).length, 1);
        const auto events = feed<ServerReceiver>({bad + good});
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), (Event{CutStatus::Message, Code::RDC, good}));
    }

    QByteArray sap = buildSap(0x1F, 0xABCD, kStamp, '1', '8', {});
    sap[13] = 'c';
    EXPECT_EQ(cutServerMessage(sap).status, CutStatus::Invalid);
    QByteArray sdpLower = sdp(0x1F);
    sdpLower[4] = 'a';
    EXPECT_EQ(cutServerMessage(sdpLower).status, CutStatus::Invalid);
    EXPECT_EQ(cutClientMessage(sdpLower).status, CutStatus::Invalid);
}

TEST(Cutter, InvalidLengthsDropOneByte)
{
    const QByteArray zeros8(8, '\0');
    QByteArray rdcLongRecord = rdc(0x1F, 1);
    rdcLongRecord.replace(13 + 20, 2, "09");
    QByteArray rdcRtrLong = rdc(0x1F, 1);
    rdcRtrLong.replace(13 + 20, 2, "4F");
    struct Case {
        const char* name;
        QByteArray head;
        bool server;
    };
    const Case cases[] = {
        {"CAN with nine data bytes", "CAN" + zeros8 + bytes({9}) + QByteArray(9, 'x'), true},
        {"CPM total 12", "CPM" + bytes({12}) + QByteArray(8, 'x'), true},
        {"CPM total 22", "CPM" + bytes({22}) + QByteArray(18, 'x'), true},
        {"RDC count not a number", "RDC0000001FZ1", true},
        {"RDC record of nine data bytes", rdcLongRecord, true},
        {"RDC record with length byte 4F", rdcRtrLong, true},
        {"SDP count not a number", "SDP0000001F0000090321140507A", true},
        {"SDP count a blank", "SDP0000001F0000090321140507 ", true},
        {"SNM identifier not hex", "SNM0000001G", true},
        {"SNU identifier not hex", "SNU 0000001" + QByteArray(20, ' '), true},
        {"RC1 identifier not hex", "RC1-0000001" + bytes({1}) + "x", true},
        {"RC4 identifier not hex", "RC40000 001" + bytes({0}), true},
        {"relayed CAN of length 0x4F", "CAN" + zeros8 + bytes({0x4F}) + QByteArray(15, 'x'), false},
        {"SDP count not a number at the client", "SDP0000001F0000090321140507F", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Cut cut = c.server ? cutServerMessage(c.head) : cutClientMessage(c.head);
        EXPECT_EQ(cut.status, CutStatus::Invalid);
        EXPECT_EQ(cut.length, 1);
        // The receiver goes on past the bad head and finds the next message.
        const QByteArray next = c.server ? buildSnm(0x1F) : buildQtt(1, 2, 3);
        const auto events =
            c.server ? feed<ServerReceiver>({c.head + next}) : feed<ClientReceiver>({c.head + next});
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().bytes, next);
    }

    // The highest valid lengths are messages.
    EXPECT_EQ(cutServerMessage("CAN" + zeros8 + bytes({8}) + zeros8).status, CutStatus::Message);
    EXPECT_EQ(cutServerMessage("CPM" + bytes({21}) + QByteArray(17, 'x')).status, CutStatus::Message);
    EXPECT_EQ(cutServerMessage("CPM" + bytes({13}) + QByteArray(9, 'x')).status, CutStatus::Message);
}

TEST(Cutter, ImpossibleReplyLengthClosesTheClient)
{
    const auto reply = [](Code code, std::int32_t length) {
        QByteArray out = codeText(code).toByteArray();
        out.append(reinterpret_cast<const char*>(&length), 4);
        return out;
    };
    for (const QByteArray& bad :
         {reply(Code::QRT, -1), reply(Code::QSA, std::numeric_limits<std::int32_t>::min()),
          reply(Code::QTP, std::int32_t(kMaxReplyPayload + 1))}) {
        EXPECT_EQ(cutClientMessage(bad).status, CutStatus::BadLength);
        ClientReceiver c;
        c.append(buildQtt(1, 2, 3) + bad);
        EXPECT_EQ(c.next().status, CutStatus::Message);
        EXPECT_EQ(c.next().status, CutStatus::BadLength);
    }
    const Cut largest = cutClientMessage(reply(Code::QSA, std::int32_t(kMaxReplyPayload)));
    EXPECT_EQ(largest.status, CutStatus::NeedMore);
    EXPECT_EQ(largest.length, kReplyHeaderSize + kMaxReplyPayload);
}

TEST(Cutter, HeadsThatAreNotMessages)
{
    // An unknown byte costs one byte; a server tells its caller so that a console is closed.
    EXPECT_EQ(codes(feed<ServerReceiver>({"XGTP"})), (std::vector<Code>{Code::None, Code::GTP}));
    EXPECT_EQ(codes(feed<ClientReceiver>({"GTPQTT" + bytes({1, 2, 3})})),
              (std::vector<Code>{Code::None, Code::None, Code::None, Code::QTT}));
    // The beginning of a code waits for the rest; a beginning that fits no code does not.
    EXPECT_EQ(cutServerMessage("GT").status, CutStatus::NeedMore);
    EXPECT_EQ(cutServerMessage("GX").status, CutStatus::Unknown);
    EXPECT_EQ(cutClientMessage("Q").status, CutStatus::NeedMore);
    EXPECT_EQ(cutClientMessage("QX").status, CutStatus::Unknown);

    // Trailing blanks wait; met again before a message, they are an unknown head.
    ServerReceiver r;
    r.append("GTP\r\n");
    EXPECT_EQ(r.next().status, CutStatus::Message);
    EXPECT_EQ(r.next().status, CutStatus::NeedMore);
    EXPECT_EQ(r.pendingSize(), 2);
    r.append("GTZ");
    EXPECT_EQ(r.next().status, CutStatus::Unknown);
    const Received gtz = r.next();
    EXPECT_EQ(gtz.code, Code::GTZ);

    // "SRC" towards a server throws away everything that has arrived.
    EXPECT_TRUE(feed<ServerReceiver>({"SRC" + buildListRequest(Code::GTP)}).empty());
    EXPECT_EQ(codes(feed<ServerReceiver>({"SRC" + buildListRequest(Code::GTP), "GTZ"})),
              (std::vector<Code>{Code::GTZ}));
    // The client knows "SNM" only as a code of three bytes.
    EXPECT_EQ(cutClientMessage(buildSnm(5)).length, 3);
}

TEST(Cutter, ServerBacklogIsBounded)
{
    ServerReceiver r;
    r.append(QByteArray(kMaxServerPending, ' '));
    EXPECT_EQ(r.next().status, CutStatus::NeedMore);
    r.append(" ");
    EXPECT_EQ(r.next().status, CutStatus::Overflow);

    // Lots of valid traffic in one read is fine: only what is left unprocessed counts.
    QByteArray burst;
    while (burst.size() <= 2 * kMaxServerPending)
        burst += rdc(0x1F, 20);
    ServerReceiver busy;
    busy.append(burst);
    std::vector<Event> events;
    drain(busy, events);
    EXPECT_EQ(busy.next().status, CutStatus::NeedMore);
    EXPECT_EQ(busy.pendingSize(), 0);

    // A client takes a long reply in full.
    ClientReceiver c;
    const QByteArray log = buildAlarmLogReply(QByteArray(3 * kMaxServerPending, 'L'));
    c.append(log);
    const Received got = c.next();
    ASSERT_EQ(got.status, CutStatus::Message);
    EXPECT_EQ(got.message.size(), log.size());
}

TEST(Cutter, AccumulatorKeepsOrderAcrossCompaction)
{
    Accumulator a;
    QByteArray expected;
    for (int round = 0; round < 200; ++round) {
        const QByteArray chunk = QByteArray::number(round).repeated(round % 7 + 1);
        a.append(chunk);
        expected += chunk;
        const qsizetype drop = std::min<qsizetype>(expected.size(), round % 5 + 3);
        a.remove(drop);
        expected.remove(0, drop);
        ASSERT_EQ(a.pending(), expected) << "round " << round;
    }
    a.remove(a.size() + 10);
    EXPECT_TRUE(a.isEmpty());
}
