// Message layouts, scrambling and the readers.
#include "core/Cp1251.h"
#include "core/DateTime.h"
#include "nodelink/Cutter.h"
#include "nodelink/Messages.h"
#include "nodelink/Parse.h"
#include "nodelink/Scramble.h"

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

Bytes span(const std::vector<std::uint8_t>& v)
{
    return Bytes(v.data(), v.size());
}

const QDateTime kStamp(QDate(2021, 3, 9), QTime(14, 5, 7));

} // namespace

TEST(Messages, BinaryLayouts)
{
    const std::vector<std::uint8_t> data = {0x1E, 0x01, 0x03};
    EXPECT_EQ(buildCan(-2, 0x01234567u, span(data)),
              QByteArray("CAN") + bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x67, 0x45, 0x23, 0x01, 3, 0x1E, 1, 3}));
    EXPECT_EQ(buildZcn(5, 0x80E81234u), QByteArray("ZCN") + bytes({5, 0, 0, 0, 0x34, 0x12, 0xE8, 0x80}));
    EXPECT_EQ(buildListRequest(Code::GSA), QByteArray("GSA"));
    EXPECT_EQ(buildGtt(3, 2, 0x10), QByteArray("GTT") + bytes({3, 2, 0x10, 0, 0, 0}));
    EXPECT_EQ(buildDnw(7, 513, 6), QByteArray("DNW") + bytes({7, 0, 0, 0, 0x01, 0x02, 6}));

    const QByteArray grt = buildGrt(1, 44264.5, 44265.25, 0x8008FF09u, 160);
    ASSERT_EQ(grt.size(), 28);
    double begin, end;
    std::memcpy(&begin, grt.data() + 7, 8);
    std::memcpy(&end, grt.data() + 15, 8);
    EXPECT_EQ(begin, 44264.5);
    EXPECT_EQ(end, 44265.25);
    EXPECT_EQ(grt.mid(23, 5), bytes({0x09, 0xFF, 0x08, 0x80, 160}));
    EXPECT_EQ(buildGut(1, 1.0, 2.0, 0x0008FF05u).size(), 27);
    const QByteArray gdt = buildGdt(1, 1.0, 2.0, kSensorIdent, 256 + 3);
    ASSERT_EQ(gdt.size(), 31);
    EXPECT_EQ(gdt.mid(27), bytes({3, 1, 0, 0}));

    SpAvar alarm;
    alarm.ident = 0x00A80080u;
    alarm.len = 2;
    alarm.data[0] = 0x11;
    alarm.time = 44264.5;
    const QByteArray pas = buildPas(alarm);
    ASSERT_EQ(pas.size(), 27);
    EXPECT_EQ(pas.mid(3, 8), bytes({0x80, 0x00, 0xA8, 0x00, 2, 0x11, 0, 0}));
    const auto back = parsePas(pas);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(&*back, &alarm, sizeof alarm), 0);

    EXPECT_EQ(buildQtt(20, 21, 23), QByteArray("QTT") + bytes({20, 21, 23}));
    EXPECT_EQ(buildReply(Code::QTP, "ab"), QByteArray("QTP") + bytes({2, 0, 0, 0}) + "ab");
}

TEST(Messages, Greetings)
{
    EXPECT_EQ(buildConsoleGreeting(QStringLiteral("Dispetch")),
              QByteArray("SNU00000000Dispetch            "));
    EXPECT_EQ(buildConsoleGreeting(QStringLiteral("Fifteen-letters")),
              QByteArray("SNU00000000Fifteen-le          "));
    EXPECT_EQ(buildConsoleGreeting(QString()), QByteArray("SNU00000000") + QByteArray(20, ' '));

    const QByteArray gsm = buildGreeting(0x0A1B2C3D, QStringLiteral("Котельная 5"));
    EXPECT_EQ(gsm.size(), 31);
    EXPECT_EQ(gsm.left(11), QByteArray("SNU0A1B2C3D"));
    const auto g = parseSnu(gsm);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->node, 0x0A1B2C3D);
    EXPECT_EQ(g->name, QStringLiteral("Котельная 5"));

    // A node's firmware may pad on either side and write its identifier in lower case; both are
    // read as the original program read them.
    const auto padded = parseSnu(QByteArray("SNUfffffffe") + "  Node 7" + QByteArray(12, ' '));
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->node, -2);
    EXPECT_EQ(padded->name, QStringLiteral("Node 7"));
}

TEST(Messages, GsmNodeTextMessages)
{
    TCanFrame f;
    f.ident = 0x00A8F089u;
    f.len = 3;
    f.data = {0x12, 0xAB, 0x01, 0, 0, 0, 0, 0xFF};
    const RdcRecord records[] = {{kStamp, f}};
    const QByteArray rdc = buildRdc(0x12, records);
    EXPECT_EQ(rdc, QByteArray("RDC0000001201") + "090321140507" + "00A8F089" + "03" + "12AB0100000000FF");
    const auto m = parseRdc(rdc);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->node, 0x12);
    ASSERT_EQ(m->frames.size(), 1u);
    EXPECT_EQ(m->frames[0].ident, f.ident);
    EXPECT_EQ(m->frames[0].len, 3);
    EXPECT_EQ(m->frames[0].data, f.data);

    const QByteArray sap = buildSap(0x12, 0xBEEF, kStamp, '1', '2', toCp1251(QStringLiteral("Нет воды")));
    ASSERT_EQ(sap.size(), 50);
    EXPECT_EQ(sap.left(29), QByteArray("SAP00000012BEEF09032114050712"));
    const auto s = parseSap(sap);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->raised());
    EXPECT_EQ(s->kind, '2');
    EXPECT_EQ(fromCp1251(s->text), QStringLiteral("Нет воды"));
    // A text of the full 21 characters has no zero byte and ends with the message.
    const auto full = parseSap(buildSap(1, 0, kStamp, '0', '8', QByteArray(30, 'x')));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->text, QByteArray(21, 'x'));
    EXPECT_FALSE(full->raised());

    const SdpRecord sensors[] = {makeSdpRecord(2, 0, 21.5f, "Podval"), makeSdpRecord(7, 3, -4.25f, "X")};
    const QByteArray sdp = buildSdp(0x12, 0, kStamp, sensors);
    ASSERT_EQ(sdp.size(), 28 + 2 * 26);
    EXPECT_EQ(sdp.left(28), QByteArray("SDP000000120000090321140507") + "2");
    const auto d = parseSdp(sdp);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->sensors.size(), 2u);
    EXPECT_EQ(d->sensors[0].code(), 2);
    EXPECT_EQ(d->sensors[0].value(), 21.5f);
    EXPECT_EQ(d->sensors[0].name(), QByteArray("Podval"));
    EXPECT_EQ(d->sensors[1].channel(), 3);
    // The reading is logged as a frame: code, channel, the float's bytes, two name characters.
    const TCanFrame sf = d->sensors[0].frame();
    EXPECT_EQ(sf.ident, kSensorIdent);
    EXPECT_EQ(sf.len, 8);
    float v;
    std::memcpy(&v, sf.data.data() + 2, 4);
    EXPECT_EQ(v, 21.5f);
    EXPECT_EQ(sf.data[0], 2);
    EXPECT_EQ(sf.data[6], 'P');
    EXPECT_EQ(sf.data[7], 'o');

    EXPECT_EQ(buildSnm(-1), QByteArray("SNMFFFFFFFF"));
    EXPECT_EQ(parseSnm("SNMFFFFFFFF"), -1);

    const QByteArray rc = buildRc(TunnelLine::Rs485, 0x12, QByteArray("\x00\x01zz", 4));
    EXPECT_EQ(rc, QByteArray("RC400000012") + bytes({4, 0, 1}) + "zz");
    const auto t = parseRc(rc);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->line, TunnelLine::Rs485);
    EXPECT_EQ(t->data, QByteArray("\x00\x01zz", 4));
}

TEST(Messages, RepliesAndRelays)
{
    // Without a log file the alarm list is the "no alarms" text and a zero byte.
    const QByteArray none = buildAlarmLogReply(std::nullopt);
    EXPECT_EQ(none.left(7), QByteArray("QSA") + bytes({15, 0, 0, 0}));
    EXPECT_EQ(none.mid(7), toCp1251(QStringLiteral("Не было аварий")) + bytes({0}));
    EXPECT_EQ(buildAlarmLogReply(QByteArray("log")).mid(7), QByteArray("log"));

    std::vector<TablIPTP> points(2);
    points[0].uzelIdent = 7;
    setTextField(points[0].nameUzel, "Uzel   ");
    points[1].priborNo = 1023;
    setTextField(points[1].nameZdan, "Zdanie number twelve"); // longer than the field
    const QByteArray qtp = buildRecordReply<TablIPTP>(Code::QTP, points);
    ASSERT_EQ(qtp.size(), 7 + 88);
    const auto payload = replyPayload(qtp);
    ASSERT_TRUE(payload);
    const auto back = readRecords<TablIPTP>(*payload);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].uzelIdent, 7);
    EXPECT_EQ(textField(back[0].nameUzel), QByteArray("Uzel"));
    EXPECT_EQ(back[1].priborNo, 1023);
    EXPECT_EQ(textField(back[1].nameZdan), QByteArray("Zdanie num"));
    EXPECT_EQ(qtp.at(7 + 44 + 30 + 10), '\0') << "the zero byte always fits";

    TCanFrame f;
    f.ident = 0x00A8F089u;
    f.len = 2;
    f.data = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(buildRelayedCan(9, f), QByteArray("CAN") + bytes({9, 0, 0, 0, 0x89, 0xF0, 0xA8, 0, 2, 1, 2}));
    // A remote request keeps its length byte; the count of bytes that follow is what the
    // receiving console reads from it, so the two always agree.
    TCanFrame rtr;
    rtr.ident = 0x80A80080u;
    rtr.len = 0x40;
    EXPECT_EQ(buildRelayedCan(0, rtr).size(), 12);
    rtr.len = 0x48;
    const QByteArray rtr8 = buildRelayedCan(0, rtr);
    EXPECT_EQ(rtr8.size(), 20);
    EXPECT_EQ(cutClientMessage(rtr8 + "QTT").length, 20);
    const auto relayed = parseRelayedCan(rtr8);
    ASSERT_TRUE(relayed);
    EXPECT_TRUE(relayed->frame.isRemoteRequest());
}

TEST(Messages, TowardsGsmNode)
{
    TCanFrame f;
    f.ident = 0x80A00084u;
    f.len = 2;
    f.data = {0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0};
    EXPECT_EQ(buildSrc(f),
              QByteArray("SRC") + bytes({0x84, 0x00, 0xA8, 0x80, 2, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0}));
    f.len = 0x40;
    EXPECT_EQ(buildSrc(f), QByteArray("SRC") + bytes({0x84, 0x00, 0xA8, 0x80, 0x40, 0, 0, 0, 0, 0, 0, 0, 0}));

    // A 600-byte tunnel write goes out as pieces of 255, 255 and 90 bytes.
    const QByteArray data(600, 'd');
    const QByteArray sc = buildSc(TunnelLine::Com1, data);
    ASSERT_EQ(sc.size(), 600 + 3 * 4);
    QByteArrayView rest = sc;
    QByteArray joined;
    std::vector<qsizetype> pieces;
    while (!rest.isEmpty()) {
        const auto w = parseSc(rest);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->line, TunnelLine::Com1);
        pieces.push_back(w->data.size());
        joined += w->data;
        rest = rest.sliced(4 + w->data.size());
    }
    EXPECT_EQ(pieces, (std::vector<qsizetype>{255, 255, 90}));
    EXPECT_EQ(joined, data);
    EXPECT_TRUE(buildSc(TunnelLine::Com2, {}).isEmpty());
    EXPECT_TRUE(buildSc(TunnelLine::Rs485, "x").startsWith("SC5"));

}

TEST(Scrambling, KeyBytesAndChecksum)
{
    // "abc": 97+98+99 = 294 -> 38, 98+99 = 197, 99; index 3 wraps to index 0.
    const ScrambleKey key("abc");
    EXPECT_EQ(key.byteAt(0), 38);
    EXPECT_EQ(key.byteAt(1), 197);
    EXPECT_EQ(key.byteAt(2), 99);
    EXPECT_EQ(key.byteAt(3), 38);
    EXPECT_EQ(key.byteAt(7), 197);
    EXPECT_EQ(ScrambleKey("").byteAt(5), 0);
    EXPECT_EQ(ScrambleKey(QByteArray(1, char(0xFF))).byteAt(0), 0xFF);

    const std::vector<std::uint8_t> data = {0x01, 0x20};
    const std::uint32_t word = 0x00A8A080u; // settings write to KEL-08 number 5
    const QByteArray cpm = buildCpm(0x01020304, word, span(data), "abc");
    ASSERT_EQ(cpm.size(), 15);
    EXPECT_EQ(cpm.left(4), QByteArray("CPM") + bytes({15}));
    const std::uint8_t plain[] = {0x04, 0x03, 0x02, 0x01, 0x80, 0xA0, 0xA8, 0x00, 0x01, 0x20};
    const std::uint8_t k[] = {38, 197, 99};
    int sum = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(std::uint8_t(cpm[4 + i]), plain[i] ^ k[i % 3]) << "byte " << i;
        sum += plain[i];
    }
    EXPECT_EQ(std::uint8_t(cpm[14]), std::uint8_t(sum));

    const QByteArray zpc = buildZpc(0x01020304, 0x80A80181u, "abc");
    ASSERT_EQ(zpc.size(), 12);
    const std::uint8_t zplain[] = {0x04, 0x03, 0x02, 0x01, 0x81, 0x01, 0xA8, 0x80};
    sum = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(std::uint8_t(zpc[3 + i]), zplain[i] ^ k[i % 3]) << "byte " << i;
        sum += zplain[i];
    }
    EXPECT_EQ(std::uint8_t(zpc[11]), std::uint8_t(sum));

    // An empty password leaves the bytes as they are.
    const QByteArray open = buildZpc(0x01020304, 0x80A80181u, "");
    EXPECT_EQ(open.mid(3, 8), QByteArray(reinterpret_cast<const char*>(zplain), 8));
}

TEST(Scrambling, Acceptance)
{
    const std::uint32_t settingsWrite = 0x00A8A080u;
    const std::uint32_t increase = 0x80A80181u;
    const std::vector<std::uint8_t> data = {0x1E, 0x01, 0x03, 0x00, 0x00};
    struct Case {
        const char* name;
        QByteArray senderPassword, receiverPassword;
        bool enabled;
        std::uint32_t cpmWord, zpcWord;
        bool cpmAccepted, zpcAccepted;
    };
    const Case cases[] = {
        {"equal passwords", "Secret-1", "Secret-1", true, settingsWrite, increase, true, true},
        {"one character differs", "Secret-1", "Secret-2", true, settingsWrite, increase, false, false},
        {"receiver password one character longer", "Secret-1", "Secret-12", true, settingsWrite, increase,
         false, false},
        {"both empty", "", "", true, settingsWrite, increase, true, true},
        {"receiver has none", "Secret-1", "", true, settingsWrite, increase, false, false},
        {"changes disabled on the receiver", "Secret-1", "Secret-1", false, settingsWrite, increase, false,
         false},
        {"decrease is a step change", "pw", "pw", true, settingsWrite, 0x80A80182u, true, true},
        {"reset all alarms is a step change", "pw", "pw", true, settingsWrite, 0x80A8E086u, true, true},
        {"operation 3 is not a step change", "pw", "pw", true, settingsWrite, 0x80000003u, true, false},
        {"a report word is neither", "pw", "pw", true, 0x80A8F089u, 0x80A8F089u, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cpm =
            verifyCpm(buildCpm(-5, c.cpmWord, span(data), c.senderPassword), c.receiverPassword, c.enabled);
        const auto zpc = verifyZpc(buildZpc(-5, c.zpcWord, c.senderPassword), c.receiverPassword, c.enabled);
        ASSERT_EQ(cpm.has_value(), c.cpmAccepted);
        ASSERT_EQ(zpc.has_value(), c.zpcAccepted);
        if (cpm) {
            EXPECT_EQ(cpm->node, -5);
            EXPECT_EQ(cpm->ident, c.cpmWord);
            EXPECT_EQ(cpm->count, 5);
            EXPECT_TRUE(std::equal(data.begin(), data.end(), cpm->data.begin()));
        }
        if (zpc) {
            EXPECT_EQ(zpc->node, -5);
            EXPECT_EQ(zpc->ident, c.zpcWord);
        }
    }

    // A damaged checksum, and a total length that lies about the data, are refused too.
    QByteArray cpm = buildCpm(1, settingsWrite, span(data), "pw");
    cpm[cpm.size() - 1] = char(cpm.back() + 1);
    EXPECT_FALSE(verifyCpm(cpm, "pw", true));
    QByteArray shortCpm = buildCpm(1, settingsWrite, span(data), "pw");
    shortCpm[3] = char(22);
    EXPECT_FALSE(verifyCpm(shortCpm, "pw", true));

    // A request with more than eight data bytes cannot become a frame; only eight travel.
    const std::vector<std::uint8_t> nine(9, 1);
    EXPECT_EQ(buildCpm(1, settingsWrite, span(nine), "pw").size(), 21);
    EXPECT_EQ(buildCan(1, 0, span(nine)).size(), 20);
}

