#include "Messages.h"

#include "core/Cp1251.h"
#include "nodelink/Scramble.h"

#include <algorithm>
#include <cstring>

namespace kelcon {

namespace {

constexpr std::array<const char*, 34> kCodeTexts = {
    "",    "CAN", "CPM", "ZCN", "ZPC", "GTP", "GTZ", "GNW", "GSA", "GTT", "GRT", "GUT",
    "GDT", "DNW", "PAS", "SNU", "SNM", "RDC", "SAP", "SDP", "RC1", "RC2", "RC4", "SRC",
    "SC1", "SC2", "SC5", "QTP", "QTZ", "QNW", "QRT", "QDT", "QSA", "QTT",
};
static_assert(kCodeTexts.size() == std::size_t(Code::QTT) + 1);

template <typename T>
void put(QByteArray& out, T value)
{
    static_assert(std::is_trivially_copyable_v<T>);
    out.append(reinterpret_cast<const char*>(&value), qsizetype(sizeof(T)));
}

void putHex(QByteArray& out, std::uint32_t value, int digits)
{
    static const char kDigits[] = "0123456789ABCDEF";
    for (int d = digits - 1; d >= 0; --d)
        out.append(kDigits[(value >> (4 * d)) & 0xF]);
}

QByteArray start(Code code, qsizetype size)
{
    QByteArray out;
    out.reserve(size);
    out.append(codeText(code));
    return out;
}

Bytes firstFrameBytes(Bytes data)
{
    return data.first(std::min<std::size_t>(data.size(), kMaxFrameData));
}

// Day, month, two-digit year, hour, minute, second: the stamp GSM nodes put in their messages.
void putStamp(QByteArray& out, const QDateTime& t)
{
    out.append(t.toString(QStringLiteral("ddMMyyHHmmss")).toLatin1().leftJustified(12, '0', true));
}

void putFixedText(QByteArray& out, QByteArrayView text, qsizetype width, char pad)
{
    const qsizetype n = std::min(text.size(), width);
    out.append(text.first(n));
    out.append(width - n, pad);
}

} // namespace

QByteArrayView codeText(Code code)
{
    return QByteArrayView(kCodeTexts[std::size_t(code)]);
}

QByteArray buildCan(UzelIdent node, std::uint32_t ident, Bytes data)
{
    data = firstFrameBytes(data);
    QByteArray out = start(Code::CAN, 12 + qsizetype(data.size()));
    put(out, node);
    put(out, ident);
    put(out, std::uint8_t(data.size()));
    out.append(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    return out;
}

QByteArray buildCpm(UzelIdent node, std::uint32_t ident, Bytes data, QByteArrayView password)
{
    data = firstFrameBytes(data);
    QByteArray out = start(Code::CPM, kCpmMinSize + qsizetype(data.size()));
    put(out, std::uint8_t(kCpmMinSize + qsizetype(data.size())));
    put(out, node);
    put(out, ident);
    out.append(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    auto* range = reinterpret_cast<std::uint8_t*>(out.data()) + 4;
    const std::uint8_t sum = scramble({range, std::size_t(out.size() - 4)}, ScrambleKey(password));
    put(out, sum);
    return out;
}

QByteArray buildZcn(UzelIdent node, std::uint32_t ident)
{
    QByteArray out = start(Code::ZCN, 11);
    put(out, node);
    put(out, ident);
    return out;
}

QByteArray buildZpc(UzelIdent node, std::uint32_t ident, QByteArrayView password)
{
    QByteArray out = start(Code::ZPC, 12);
    put(out, node);
    put(out, ident);
    auto* range = reinterpret_cast<std::uint8_t*>(out.data()) + 3;
    const std::uint8_t sum = scramble({range, 8}, ScrambleKey(password));
    put(out, sum);
    return out;
}

QByteArray buildListRequest(Code code)
{
    return codeText(code).toByteArray();
}

QByteArray buildGtt(std::uint8_t nomZdan, std::uint8_t nomEtaz, UzelIdent node)
{
    QByteArray out = start(Code::GTT, 9);
    put(out, nomZdan);
    put(out, nomEtaz);
    put(out, node);
    return out;
}

QByteArray buildGrt(UzelIdent node, double begin, double end, std::uint32_t ident, std::uint8_t selector)
{
    QByteArray out = start(Code::GRT, 28);
    put(out, node);
    put(out, begin);
    put(out, end);
    put(out, ident);
    put(out, selector);
    return out;
}

QByteArray buildGut(UzelIdent node, double begin, double end, std::uint32_t ident)
{
    QByteArray out = start(Code::GUT, 27);
    put(out, node);
    put(out, begin);
    put(out, end);
    put(out, ident);
    return out;
}

QByteArray buildGdt(UzelIdent node, double begin, double end, std::uint32_t ident, std::int32_t selector)
{
    QByteArray out = start(Code::GDT, 31);
    put(out, node);
    put(out, begin);
    put(out, end);
    put(out, ident);
    put(out, selector);
    return out;
}

QByteArray buildDnw(UzelIdent node, std::int16_t priborNo, std::uint8_t typeNo)
{
    QByteArray out = start(Code::DNW, 10);
    put(out, node);
    put(out, priborNo);
    put(out, typeNo);
    return out;
}

QByteArray buildPas(const SpAvar& alarm)
{
    QByteArray out = start(Code::PAS, 27);
    appendRecord(out, alarm);
    return out;
}

QByteArray buildGreeting(UzelIdent node, const QString& name)
{
    QByteArray out = start(Code::SNU, 31);
    putHex(out, std::uint32_t(node), 8);
    putFixedText(out, toCp1251(name), kGreetingNameSize, ' ');
    return out;
}

QByteArray buildConsoleGreeting(const QString& logonName)
{
    return buildGreeting(0, logonName.left(10));
}

QByteArray buildSnm(UzelIdent node)
{
    QByteArray out = start(Code::SNM, 11);
    putHex(out, std::uint32_t(node), 8);
    return out;
}

QByteArray buildRdc(UzelIdent node, std::span<const RdcRecord> records)
{
    records = records.first(std::min<std::size_t>(records.size(), 255));
    QByteArray out = start(Code::RDC, kRdcHeaderSize + kRdcRecordSize * qsizetype(records.size()));
    putHex(out, std::uint32_t(node), 8);
    putHex(out, std::uint32_t(records.size()), 2);
    for (const RdcRecord& r : records) {
        putStamp(out, r.stamp);
        putHex(out, r.frame.ident, 8);
        putHex(out, r.frame.len, 2);
        for (std::uint8_t b : r.frame.data)
            putHex(out, b, 2);
    }
    return out;
}

QByteArray buildSap(UzelIdent node, std::uint16_t tag, const QDateTime& stamp, char state, char kind,
                    QByteArrayView text)
{
    QByteArray out = start(Code::SAP, kSapSize);
    putHex(out, std::uint32_t(node), 8);
    putHex(out, tag, 4);
    putStamp(out, stamp);
    out.append(state);
    out.append(kind);
    putFixedText(out, text, kSapTextSize, '\0');
    return out;
}

float SdpRecord::value() const
{
    float v;
    std::memcpy(&v, bytes.data() + 2, sizeof v);
    return v;
}

QByteArray SdpRecord::name() const
{
    const char* p = reinterpret_cast<const char*>(bytes.data()) + 6;
    return QByteArray(p, qsizetype(::strnlen(p, kSdpNameSize)));
}

TCanFrame SdpRecord::frame() const
{
    TCanFrame f;
    f.ident = kSensorIdent;
    f.len = 8;
    std::copy_n(bytes.begin(), 8, f.data.begin());
    return f;
}

SdpRecord makeSdpRecord(std::uint8_t code, std::uint8_t channel, float value, QByteArrayView name)
{
    SdpRecord r;
    r.bytes[0] = code;
    r.bytes[1] = channel;
    std::memcpy(r.bytes.data() + 2, &value, sizeof value);
    std::memcpy(r.bytes.data() + 6, name.data(), std::size_t(std::min(name.size(), kSdpNameSize)));
    return r;
}

QByteArray buildSdp(UzelIdent node, std::uint16_t tag, const QDateTime& stamp,
                    std::span<const SdpRecord> sensors)
{
    sensors = sensors.first(std::min<std::size_t>(sensors.size(), 9)); // the count is one decimal digit
    QByteArray out = start(Code::SDP, kSdpHeaderSize + kSdpRecordSize * qsizetype(sensors.size()));
    putHex(out, std::uint32_t(node), 8);
    putHex(out, tag, 4);
    putStamp(out, stamp);
    out.append(char('0' + sensors.size()));
    for (const SdpRecord& s : sensors)
        out.append(reinterpret_cast<const char*>(s.bytes.data()), kSdpRecordSize);
    return out;
}

QByteArray buildRc(TunnelLine line, UzelIdent node, QByteArrayView data)
{
    static constexpr Code kCodes[] = {Code::RC1, Code::RC2, Code::RC4};
    data = data.first(std::min(data.size(), kTunnelMaxChunk));
    QByteArray out = start(kCodes[int(line)], 12 + data.size());
    putHex(out, std::uint32_t(node), 8);
    put(out, std::uint8_t(data.size()));
    out.append(data);
    return out;
}

QByteArray buildReply(Code code, QByteArrayView payload)
{
    QByteArray out = start(code, kReplyHeaderSize + payload.size());
    put(out, std::int32_t(payload.size()));
    out.append(payload);
    return out;
}

QByteArray buildAlarmLogReply(const std::optional<QByteArray>& logFile)
{
    if (logFile)
        return buildReply(Code::QSA, *logFile);
    QByteArray none = toCp1251(QStringLiteral("Не было аварий"));
    none.append('\0');
    return buildReply(Code::QSA, none);
}

QByteArray buildQtt(std::uint8_t minTemp, std::uint8_t avgTemp, std::uint8_t maxTemp)
{
    QByteArray out = start(Code::QTT, 6);
    put(out, minTemp);
    put(out, avgTemp);
    put(out, maxTemp);
    return out;
}

QByteArray buildRelayedCan(UzelIdent node, const TCanFrame& frame)
{
    // The receiving console takes the low four bits of the length byte as the data count, so the
    // same count of bytes follows even for a remote request (its data bytes are zero).
    const int n = std::min(frame.dataLength(), kMaxFrameData);
    QByteArray out = start(Code::CAN, 12 + n);
    put(out, node);
    put(out, frame.ident);
    put(out, std::uint8_t(n | (frame.len & 0xF0)));
    out.append(reinterpret_cast<const char*>(frame.data.data()), n);
    return out;
}

QByteArray buildSrc(const TCanFrame& frame)
{
    QByteArray out = start(Code::SRC, 16);
    put(out, frame.ident | kExtendedFlag);
    const int n = frame.isRemoteRequest() ? 0 : std::min(frame.dataLength(), kMaxFrameData);
    put(out, std::uint8_t(frame.isRemoteRequest() ? 0x40 : n));
    for (int i = 0; i < kMaxFrameData; ++i)
        put(out, std::uint8_t(i < n ? frame.data[std::size_t(i)] : 0));
    return out;
}

QByteArray buildSc(TunnelLine line, QByteArrayView data)
{
    static constexpr Code kCodes[] = {Code::SC1, Code::SC2, Code::SC5};
    QByteArray out;
    out.reserve(data.size() + 4 * (data.size() / kTunnelMaxChunk + 1));
    while (!data.isEmpty()) {
        const QByteArrayView chunk = data.first(std::min(data.size(), kTunnelMaxChunk));
        out.append(codeText(kCodes[int(line)]));
        put(out, std::uint8_t(chunk.size()));
        out.append(chunk);
        data = data.sliced(chunk.size());
    }
    return out;
}

} // namespace kelcon
