#pragma once

#include "can/CanFrame.h"
#include "nodelink/Messages.h"
#include "nodelink/Records.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelcon {

// Readers of one whole message as the cutters hand it over (its first byte is the code's first
// letter). Each returns nothing for bytes that do not hold that message; none of them throws.
// The time stamps of "RDC", "SAP" and "SDP" are not read: their receiver stamps the event with
// the time it processes it.

// "CAN", "CPM", "ZCN", "ZPC" from a console: a frame for a node's bus.
struct FrameCommand {
    UzelIdent node = 0;
    std::uint32_t ident = 0;
    std::uint8_t count = 0; // data bytes; 0 for the requests without data
    std::array<std::uint8_t, 8> data{};
};
std::optional<FrameCommand> parseCan(QByteArrayView msg);
std::optional<FrameCommand> parseZcn(QByteArrayView msg);

// A scrambled command is accepted only when this node allows changes over the network, the
// descrambled checksum matches with this node's change password and the identifier word is of
// the class the message is meant for. Anything else is dropped without an answer.
std::optional<FrameCommand> verifyCpm(QByteArrayView msg, QByteArrayView password, bool changesEnabled);
std::optional<FrameCommand> verifyZpc(QByteArrayView msg, QByteArrayView password, bool changesEnabled);

struct ZoneSummaryRequest {
    std::uint8_t nomZdan = 0; // 0 = all buildings
    std::uint8_t nomEtaz = 0; // 0 = all floors
    UzelIdent node = 0;
};
std::optional<ZoneSummaryRequest> parseGtt(QByteArrayView msg);

// "GRT" (selector byte), "GUT" (selector 0) and "GDT" (256 + sensor code).
struct TrendRequest {
    UzelIdent node = 0;
    double begin = 0;
    double end = 0;
    std::uint32_t ident = 0;
    std::int32_t selector = 0;
};
std::optional<TrendRequest> parseGrt(QByteArrayView msg);
std::optional<TrendRequest> parseGut(QByteArrayView msg);
std::optional<TrendRequest> parseGdt(QByteArrayView msg);

struct DeleteRequest {
    UzelIdent node = 0;
    std::int16_t priborNo = 0;
    std::uint8_t typeNo = 0;
};
std::optional<DeleteRequest> parseDnw(QByteArrayView msg);

std::optional<SpAvar> parsePas(QByteArrayView msg);

// "SNU": node 0 is a console. Blanks (bytes up to 0x20) around the name are dropped.
struct Greeting {
    UzelIdent node = 0;
    QString name;
};
std::optional<Greeting> parseSnu(QByteArrayView msg);
std::optional<UzelIdent> parseSnm(QByteArrayView msg);

struct RdcMessage {
    UzelIdent node = 0;
    std::vector<TCanFrame> frames;
};
std::optional<RdcMessage> parseRdc(QByteArrayView msg);

struct SapMessage {
    UzelIdent node = 0;
    char state = 0;  // '1' raised
    char kind = 0;   // '8' supply power, 'F' operating-mode command, other: plain alarm with text
    QByteArray text; // Windows-1251, up to the first zero byte, at most 21 bytes

    bool raised() const { return state == '1'; }
};
std::optional<SapMessage> parseSap(QByteArrayView msg);

struct SdpMessage {
    UzelIdent node = 0;
    std::vector<SdpRecord> sensors;
};
std::optional<SdpMessage> parseSdp(QByteArrayView msg);

struct TunnelData {
    TunnelLine line = TunnelLine::Com1;
    UzelIdent node = 0;
    QByteArray data;
};
std::optional<TunnelData> parseRc(QByteArrayView msg);

// Replies to a console: the payload after the length word.
std::optional<QByteArrayView> replyPayload(QByteArrayView msg);

struct ZoneSummary {
    std::uint8_t minTemp = 0;
    std::uint8_t avgTemp = 0;
    std::uint8_t maxTemp = 0;
};
std::optional<ZoneSummary> parseQtt(QByteArrayView msg);

// A frame relayed to a console: the node it came from and the frame with its length byte as
// received.
struct RelayedFrame {
    UzelIdent node = 0;
    TCanFrame frame;
};
std::optional<RelayedFrame> parseRelayedCan(QByteArrayView msg);

// What a GSM node receives.
std::optional<TCanFrame> parseSrc(QByteArrayView msg);
struct TunnelWrite {
    TunnelLine line = TunnelLine::Com1;
    QByteArray data;
};
std::optional<TunnelWrite> parseSc(QByteArrayView msg);

// Hexadecimal fields of GSM-node messages. Validated fields take upper-case digits only; the
// identifiers of the messages that are not validated are read in either case.
constexpr bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool allUpperHex(QByteArrayView text);
std::optional<std::uint32_t> readHex(QByteArrayView text, bool upperOnly);

} // namespace kelcon
