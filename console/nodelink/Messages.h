#pragma once

#include "can/CanFrame.h"
#include "nodelink/Records.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kelcon {

// Every message starts with one of these three-letter codes; the code alone decides the layout.
// clang-format off
enum class Code : std::uint8_t {
    None,
    // console -> server
    CAN, CPM, ZCN, ZPC, GTP, GTZ, GNW, GSA, GTT, GRT, GUT, GDT, DNW, PAS, SNU,
    // GSM node -> server
    SNM, RDC, SAP, SDP, RC1, RC2, RC4, SRC,
    // server -> GSM node
    SC1, SC2, SC5,
    // server -> console (besides the relayed CAN and SDP)
    QTP, QTZ, QNW, QRT, QDT, QSA, QTT,
};
// clang-format on

QByteArrayView codeText(Code code); // the three letters; empty for Code::None

// The three serial lines a GSM node tunnels: "RC1"/"SC1", "RC2"/"SC2", "RC4"/"SC5".
enum class TunnelLine : std::uint8_t { Com1, Com2, Rs485 };

constexpr int kListenPort = 4462;
constexpr int kMaxFrameData = 8;
constexpr qsizetype kCpmMinSize = 13;
constexpr qsizetype kCpmMaxSize = kCpmMinSize + kMaxFrameData;
constexpr qsizetype kReplyHeaderSize = 7; // code + payload length word
constexpr qsizetype kGreetingNameSize = 20;
constexpr qsizetype kRdcHeaderSize = 13;
constexpr qsizetype kRdcRecordSize = 38;
constexpr qsizetype kSapSize = 50;
constexpr qsizetype kSapTextSize = 21;
constexpr qsizetype kSdpHeaderSize = 28;
constexpr qsizetype kSdpRecordSize = 26;
constexpr qsizetype kSdpNameSize = 20;
constexpr qsizetype kTunnelMaxChunk = 255;

constexpr std::uint32_t kTimeSyncIdent = 0x0000FF04u;
constexpr std::uint32_t kSensorIdent = 0x8000FF10u; // the frame a sensor reading is logged as

using Bytes = std::span<const std::uint8_t>;

// --- console -> server (binary, little-endian) ---

// Data beyond eight bytes does not fit a frame and is left out.
QByteArray buildCan(UzelIdent node, std::uint32_t ident, Bytes data);
QByteArray buildCpm(UzelIdent node, std::uint32_t ident, Bytes data, QByteArrayView password);
QByteArray buildZcn(UzelIdent node, std::uint32_t ident);
QByteArray buildZpc(UzelIdent node, std::uint32_t ident, QByteArrayView password);
QByteArray buildListRequest(Code code); // "GTP", "GTZ", "GNW" or "GSA"
QByteArray buildGtt(std::uint8_t nomZdan, std::uint8_t nomEtaz, UzelIdent node);
QByteArray buildGrt(UzelIdent node, double begin, double end, std::uint32_t ident, std::uint8_t selector);
QByteArray buildGut(UzelIdent node, double begin, double end, std::uint32_t ident);
QByteArray buildGdt(UzelIdent node, double begin, double end, std::uint32_t ident, std::int32_t selector);
QByteArray buildDnw(UzelIdent node, std::int16_t priborNo, std::uint8_t typeNo);
QByteArray buildPas(const SpAvar& alarm);

// "SNU": the node identifier as 8 hex digits and the name padded with spaces to 20 characters.
QByteArray buildGreeting(UzelIdent node, const QString& name);
// A console greets as node 0 with the first 10 characters of its logon name.
QByteArray buildConsoleGreeting(const QString& logonName);

// --- GSM node -> server (text) ---

QByteArray buildSnm(UzelIdent node);
// At most 255 frames; time stamps are written as dd mm yy hh nn ss.
struct RdcRecord {
    QDateTime stamp;
    TCanFrame frame;
};
QByteArray buildRdc(UzelIdent node, std::span<const RdcRecord> records);
// state '1' raises, anything else clears; kind '8' supply power, 'F' mode command, other plain.
QByteArray buildSap(UzelIdent node, std::uint16_t tag, const QDateTime& stamp, char state, char kind,
                    QByteArrayView text);

// A sensor record of "SDP" as it travels: code, channel, float value, name.
struct SdpRecord {
    std::array<std::uint8_t, kSdpRecordSize> bytes{};

    std::uint8_t code() const { return bytes[0]; }
    std::uint8_t channel() const { return bytes[1]; } // 0 = any channel
    float value() const;
    QByteArray name() const; // up to the first zero byte, at most 20 bytes
    // The frame the reading is dispatched and logged as: the record's first eight bytes.
    TCanFrame frame() const;
};
SdpRecord makeSdpRecord(std::uint8_t code, std::uint8_t channel, float value, QByteArrayView name);
QByteArray buildSdp(UzelIdent node, std::uint16_t tag, const QDateTime& stamp,
                    std::span<const SdpRecord> sensors);
QByteArray buildRc(TunnelLine line, UzelIdent node, QByteArrayView data); // at most 255 bytes of data

// --- server -> console ---

// Code, payload length, payload: "QTP", "QTZ", "QNW", "QRT", "QDT", "QSA".
QByteArray buildReply(Code code, QByteArrayView payload);
template <WireRecord T>
QByteArray buildRecordReply(Code code, std::span<const T> records)
{
    return buildReply(
        code, QByteArrayView(reinterpret_cast<const char*>(records.data()), qsizetype(records.size_bytes())));
}
// The alarm log as stored, or the "no alarms" text when the node has no log file.
QByteArray buildAlarmLogReply(const std::optional<QByteArray>& logFile);
QByteArray buildQtt(std::uint8_t minTemp, std::uint8_t avgTemp, std::uint8_t maxTemp);
QByteArray buildRelayedCan(UzelIdent node, const TCanFrame& frame);

// --- server -> GSM node ---

QByteArray buildSrc(const TCanFrame& frame); // the extended flag is set; a remote request carries no data
// Splits data into messages of at most 255 bytes, one after another in the result.
QByteArray buildSc(TunnelLine line, QByteArrayView data);

} // namespace kelcon
