#include "Parse.h"

#include "can/Requests.h"
#include "core/Cp1251.h"
#include "nodelink/Scramble.h"

#include <cstring>

namespace kelcon {

namespace {

template <typename T>
T get(QByteArrayView msg, qsizetype offset)
{
    T value;
    std::memcpy(&value, msg.data() + offset, sizeof(T));
    return value;
}

std::uint8_t byteAt(QByteArrayView msg, qsizetype offset)
{
    return std::uint8_t(msg[offset]);
}

bool hasCode(QByteArrayView msg, Code code, qsizetype size)
{
    return msg.size() >= size && msg.first(3) == codeText(code);
}

int hexDigit(char c, bool upperOnly)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (!upperOnly && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Eight hex digits are the node identifier's 32 bits; values above 0x7FFFFFFF are negative nodes.
std::optional<UzelIdent> readNode(QByteArrayView msg, bool upperOnly)
{
    const auto v = readHex(msg.sliced(3, 8), upperOnly);
    if (!v)
        return std::nullopt;
    return UzelIdent(*v);
}

} // namespace

bool allUpperHex(QByteArrayView text)
{
    for (char c : text)
        if (!isUpperHex(c))
            return false;
    return true;
}

std::optional<std::uint32_t> readHex(QByteArrayView text, bool upperOnly)
{
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    std::uint32_t v = 0;
    for (char c : text) {
        const int d = hexDigit(c, upperOnly);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | std::uint32_t(d);
    }
    return v;
}

std::optional<FrameCommand> parseCan(QByteArrayView msg)
{
    if (!hasCode(msg, Code::CAN, 12))
        return std::nullopt;
    FrameCommand c;
    c.node = get<std::int32_t>(msg, 3);
    c.ident = get<std::uint32_t>(msg, 7);
    c.count = byteAt(msg, 11);
    if (c.count > kMaxFrameData || msg.size() < 12 + c.count)
        return std::nullopt;
    std::memcpy(c.data.data(), msg.data() + 12, c.count);
    return c;
}

std::optional<FrameCommand> parseZcn(QByteArrayView msg)
{
    if (!hasCode(msg, Code::ZCN, 11))
        return std::nullopt;
    FrameCommand c;
    c.node = get<std::int32_t>(msg, 3);
    c.ident = get<std::uint32_t>(msg, 7);
    return c;
}

std::optional<FrameCommand> verifyCpm(QByteArrayView msg, QByteArrayView password, bool changesEnabled)
{
    if (!hasCode(msg, Code::CPM, 7) || !changesEnabled)
        return std::nullopt;
    const qsizetype total = byteAt(msg, 3);
    if (total < kCpmMinSize || total > kCpmMaxSize || msg.size() < total)
        return std::nullopt;
    std::array<std::uint8_t, kCpmMaxSize> plain{};
    std::memcpy(plain.data(), msg.data(), std::size_t(total));
    const std::uint8_t sum = descramble({plain.data() + 4, std::size_t(total - 5)}, ScrambleKey(password));
    const QByteArrayView p(reinterpret_cast<const char*>(plain.data()), total);
    FrameCommand c;
    c.node = get<std::int32_t>(p, 4);
    c.ident = get<std::uint32_t>(p, 8);
    c.count = std::uint8_t(total - kCpmMinSize);
    std::memcpy(c.data.data(), plain.data() + 12, c.count);
    if (!IsSettingsWrite(c.ident) || sum != byteAt(msg, total - 1))
        return std::nullopt;
    return c;
}

std::optional<FrameCommand> verifyZpc(QByteArrayView msg, QByteArrayView password, bool changesEnabled)
{
    if (!hasCode(msg, Code::ZPC, 12) || !changesEnabled)
        return std::nullopt;
    std::array<std::uint8_t, 12> plain{};
    std::memcpy(plain.data(), msg.data(), plain.size());
    const std::uint8_t sum = descramble({plain.data() + 3, 8}, ScrambleKey(password));
    const QByteArrayView p(reinterpret_cast<const char*>(plain.data()), 12);
    FrameCommand c;
    c.node = get<std::int32_t>(p, 3);
    c.ident = get<std::uint32_t>(p, 7);
    if (!IsStepChange(c.ident) || sum != byteAt(msg, 11))
        return std::nullopt;
    return c;
}

std::optional<ZoneSummaryRequest> parseGtt(QByteArrayView msg)
{
    if (!hasCode(msg, Code::GTT, 9))
        return std::nullopt;
    return ZoneSummaryRequest{byteAt(msg, 3), byteAt(msg, 4), get<std::int32_t>(msg, 5)};
}

std::optional<TrendRequest> parseGrt(QByteArrayView msg)
{
    if (!hasCode(msg, Code::GRT, 28))
        return std::nullopt;
    return TrendRequest{get<std::int32_t>(msg, 3), get<double>(msg, 7), get<double>(msg, 15),
                        get<std::uint32_t>(msg, 23), byteAt(msg, 27)};
}

std::optional<TrendRequest> parseGut(QByteArrayView msg)
{
    if (!hasCode(msg, Code::GUT, 27))
        return std::nullopt;
    return TrendRequest{get<std::int32_t>(msg, 3), get<double>(msg, 7), get<double>(msg, 15),
                        get<std::uint32_t>(msg, 23), 0};
}

std::optional<TrendRequest> parseGdt(QByteArrayView msg)
{
    if (!hasCode(msg, Code::GDT, 31))
        return std::nullopt;
    return TrendRequest{get<std::int32_t>(msg, 3), get<double>(msg, 7), get<double>(msg, 15),
                        get<std::uint32_t>(msg, 23), get<std::int32_t>(msg, 27)};
}

std::optional<DeleteRequest> parseDnw(QByteArrayView msg)
{
    if (!hasCode(msg, Code::DNW, 10))
        return std::nullopt;
    return DeleteRequest{get<std::int32_t>(msg, 3), get<std::int16_t>(msg, 7), byteAt(msg, 9)};
}

std::optional<SpAvar> parsePas(QByteArrayView msg)
{
    if (!hasCode(msg, Code::PAS, 27))
        return std::nullopt;
    return get<SpAvar>(msg, 3);
}

std::optional<Greeting> parseSnu(QByteArrayView msg)
{
    if (!hasCode(msg, Code::SNU, 31))
        return std::nullopt;
    const auto node = readNode(msg, false);
    if (!node)
        return std::nullopt;
    QByteArrayView name = msg.sliced(11, kGreetingNameSize);
    while (!name.isEmpty() && std::uint8_t(name.front()) <= 0x20)
        name = name.sliced(1);
    while (!name.isEmpty() && std::uint8_t(name.back()) <= 0x20)
        name.chop(1);
    return Greeting{*node, fromCp1251(name.data(), name.size())};
}

std::optional<UzelIdent> parseSnm(QByteArrayView msg)
{
    if (!hasCode(msg, Code::SNM, 11))
        return std::nullopt;
    return readNode(msg, false);
}

std::optional<RdcMessage> parseRdc(QByteArrayView msg)
{
    if (!hasCode(msg, Code::RDC, kRdcHeaderSize))
        return std::nullopt;
    const auto node = readNode(msg, true);
    const auto count = readHex(msg.sliced(11, 2), true);
    if (!node || !count || msg.size() < kRdcHeaderSize + kRdcRecordSize * qsizetype(*count))
        return std::nullopt;
    RdcMessage m;
    m.node = *node;
    m.frames.reserve(*count);
    for (qsizetype r = 0; r < qsizetype(*count); ++r) {
        const QByteArrayView rec = msg.sliced(kRdcHeaderSize + kRdcRecordSize * r, kRdcRecordSize);
        // Characters 0-11 are the node's own time stamp, which is not used.
        const auto ident = readHex(rec.sliced(12, 8), true);
        const auto len = readHex(rec.sliced(20, 2), true);
        if (!ident || !len || (*len & 0x0F) > kMaxFrameData)
            return std::nullopt;
        TCanFrame f;
        f.ident = *ident;
        f.len = std::uint8_t(*len);
        for (std::size_t i = 0; i < f.data.size(); ++i) {
            const auto b = readHex(rec.sliced(22 + 2 * qsizetype(i), 2), true);
            if (!b)
                return std::nullopt;
            f.data[i] = std::uint8_t(*b);
        }
        m.frames.push_back(f);
    }
    return m;
}

std::optional<SapMessage> parseSap(QByteArrayView msg)
{
    if (!hasCode(msg, Code::SAP, kSapSize))
        return std::nullopt;
    const auto node = readNode(msg, true);
    if (!node)
        return std::nullopt;
    const QByteArrayView text = msg.sliced(29, kSapTextSize);
    return SapMessage{*node, msg[27], msg[28],
                      QByteArray(text.data(), qsizetype(::strnlen(text.data(), std::size_t(text.size()))))};
}

std::optional<SdpMessage> parseSdp(QByteArrayView msg)
{
    if (!hasCode(msg, Code::SDP, kSdpHeaderSize))
        return std::nullopt;
    const auto node = readNode(msg, true);
    const char countDigit = msg[27];
    if (!node || countDigit < '0' || countDigit > '9')
        return std::nullopt;
    const qsizetype count = countDigit - '0';
    if (msg.size() < kSdpHeaderSize + kSdpRecordSize * count)
        return std::nullopt;
    SdpMessage m;
    m.node = *node;
    m.sensors.resize(std::size_t(count));
    for (qsizetype s = 0; s < count; ++s)
        std::memcpy(m.sensors[std::size_t(s)].bytes.data(), msg.data() + kSdpHeaderSize + kSdpRecordSize * s,
                    kSdpRecordSize);
    return m;
}

std::optional<TunnelData> parseRc(QByteArrayView msg)
{
    if (msg.size() < 12)
        return std::nullopt;
    TunnelLine line;
    if (msg.first(3) == codeText(Code::RC1))
        line = TunnelLine::Com1;
    else if (msg.first(3) == codeText(Code::RC2))
        line = TunnelLine::Com2;
    else if (msg.first(3) == codeText(Code::RC4))
        line = TunnelLine::Rs485;
    else
        return std::nullopt;
    const auto node = readNode(msg, false);
    const qsizetype n = byteAt(msg, 11);
    if (!node || msg.size() < 12 + n)
        return std::nullopt;
    return TunnelData{line, *node, msg.sliced(12, n).toByteArray()};
}

std::optional<QByteArrayView> replyPayload(QByteArrayView msg)
{
    if (msg.size() < kReplyHeaderSize)
        return std::nullopt;
    const std::int32_t length = get<std::int32_t>(msg, 3);
    if (length < 0 || msg.size() - kReplyHeaderSize < length)
        return std::nullopt;
    return msg.sliced(kReplyHeaderSize, length);
}

std::optional<ZoneSummary> parseQtt(QByteArrayView msg)
{
    if (!hasCode(msg, Code::QTT, 6))
        return std::nullopt;
    return ZoneSummary{byteAt(msg, 3), byteAt(msg, 4), byteAt(msg, 5)};
}

std::optional<RelayedFrame> parseRelayedCan(QByteArrayView msg)
{
    if (!hasCode(msg, Code::CAN, 12))
        return std::nullopt;
    RelayedFrame r;
    r.node = get<std::int32_t>(msg, 3);
    r.frame.ident = get<std::uint32_t>(msg, 7);
    r.frame.len = byteAt(msg, 11);
    const int n = r.frame.dataLength();
    if (n > kMaxFrameData || msg.size() < 12 + n)
        return std::nullopt;
    std::memcpy(r.frame.data.data(), msg.data() + 12, std::size_t(n));
    return r;
}

std::optional<TCanFrame> parseSrc(QByteArrayView msg)
{
    if (!hasCode(msg, Code::SRC, 16))
        return std::nullopt;
    TCanFrame f;
    f.ident = get<std::uint32_t>(msg, 3);
    f.len = byteAt(msg, 7);
    std::memcpy(f.data.data(), msg.data() + 8, 8);
    return f;
}

std::optional<TunnelWrite> parseSc(QByteArrayView msg)
{
    if (msg.size() < 4)
        return std::nullopt;
    TunnelLine line;
    if (msg.first(3) == codeText(Code::SC1))
        line = TunnelLine::Com1;
    else if (msg.first(3) == codeText(Code::SC2))
        line = TunnelLine::Com2;
    else if (msg.first(3) == codeText(Code::SC5))
        line = TunnelLine::Rs485;
    else
        return std::nullopt;
    const qsizetype n = byteAt(msg, 3);
    if (msg.size() < 4 + n)
        return std::nullopt;
    return TunnelWrite{line, msg.sliced(4, n).toByteArray()};
}

} // namespace kelcon
