#include "Cutter.h"

#include "nodelink/Parse.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace kelcon {

namespace {

constexpr Code kServerCodes[] = {
    Code::CAN, Code::CPM, Code::GTT, Code::GRT, Code::GDT, Code::GUT, Code::DNW, Code::ZCN,
    Code::ZPC, Code::GTP, Code::GTZ, Code::GNW, Code::PAS, Code::GSA, Code::RDC, Code::SAP,
    Code::SDP, Code::SRC, Code::SNM, Code::SNU, Code::RC1, Code::RC2, Code::RC4,
};

constexpr Code kClientCodes[] = {
    Code::QTP, Code::QTZ, Code::QRT, Code::QDT, Code::QTT,
    Code::QNW, Code::CAN, Code::QSA, Code::SDP, Code::SNM,
};

Cut needMore(Code code, qsizetype length, std::optional<UzelIdent> node = std::nullopt)
{
    return {CutStatus::NeedMore, code, length, node};
}

Cut message(Code code, qsizetype length)
{
    return {CutStatus::Message, code, length, std::nullopt};
}

Cut invalid(Code code)
{
    return {CutStatus::Invalid, code, 1, std::nullopt};
}

// The code at the head, or Code::None. A head shorter than a code that could still become one
// is reported through `partial`: a message cut by the network after its first letter must wait
// for the rest like any other incomplete message.
Code headCode(QByteArrayView pending, std::span<const Code> codes, bool& partial)
{
    partial = false;
    const qsizetype n = std::min<qsizetype>(pending.size(), 3);
    for (Code c : codes) {
        const QByteArrayView text = codeText(c);
        if (pending.first(n) == text.first(n)) {
            if (n == 3)
                return c;
            partial = true;
        }
    }
    return Code::None;
}

std::uint8_t byteAt(QByteArrayView p, qsizetype i)
{
    return std::uint8_t(p[i]);
}

bool isHexIdent(QByteArrayView p)
{
    return readHex(p.sliced(3, 8), false).has_value();
}

Cut cutRdc(QByteArrayView p)
{
    if (p.size() < kRdcHeaderSize)
        return needMore(Code::RDC, kRdcHeaderSize);
    if (!allUpperHex(p.sliced(3, 10)))
        return invalid(Code::RDC);
    const UzelIdent node = UzelIdent(*readHex(p.sliced(3, 8), true));
    const qsizetype total = kRdcHeaderSize + kRdcRecordSize * qsizetype(*readHex(p.sliced(11, 2), true));
    if (p.size() < total)
        return needMore(Code::RDC, total, node);
    // Every character of the records, the last one included: a record whose last data digit is
    // not hexadecimal is as unreadable as any other.
    if (!allUpperHex(p.sliced(kRdcHeaderSize, total - kRdcHeaderSize)))
        return invalid(Code::RDC);
    for (qsizetype r = kRdcHeaderSize; r < total; r += kRdcRecordSize)
        if ((*readHex(p.sliced(r + 20, 2), true) & 0x0F) > kMaxFrameData)
            return invalid(Code::RDC);
    return message(Code::RDC, total);
}

// The server validates characters 3-26 and reads the count as a decimal digit; the client
// validates 3-27. Either way a count that is not a digit ends the message's chances.
Cut cutSdp(QByteArrayView p)
{
    if (p.size() < kSdpHeaderSize)
        return needMore(Code::SDP, kSdpHeaderSize);
    const char count = p[27];
    if (!allUpperHex(p.sliced(3, 24)) || count < '0' || count > '9')
        return invalid(Code::SDP);
    const qsizetype total = kSdpHeaderSize + kSdpRecordSize * (count - '0');
    return p.size() < total ? needMore(Code::SDP, total) : message(Code::SDP, total);
}

Cut fixedSize(QByteArrayView p, Code code, qsizetype size)
{
    return p.size() < size ? needMore(code, size) : message(code, size);
}

} // namespace

Cut cutServerMessage(QByteArrayView p)
{
    if (p.isEmpty())
        return needMore(Code::None, 0);
    if (byteAt(p, 0) <= 0x20) {
        const auto* firstSolid =
            std::find_if(p.begin(), p.end(), [](char c) { return std::uint8_t(c) > 0x20; });
        if (firstSolid == p.end())
            return needMore(Code::None, 0);
        // Each of these blanks would be an unknown head in turn; dropping the run at once keeps a
        // long run linear.
        return {CutStatus::Unknown, Code::None, qsizetype(firstSolid - p.begin()), std::nullopt};
    }

    bool partial = false;
    const Code code = headCode(p, kServerCodes, partial);
    switch (code) {
    case Code::CAN: {
        if (p.size() < 12)
            return needMore(code, 12);
        const qsizetype n = byteAt(p, 11);
        if (n > kMaxFrameData)
            return invalid(code);
        return fixedSize(p, code, 12 + n);
    }
    case Code::CPM: {
        if (p.size() < 7)
            return needMore(code, 7);
        const qsizetype total = byteAt(p, 3);
        if (total < kCpmMinSize || total > kCpmMaxSize)
            return invalid(code);
        return fixedSize(p, code, total);
    }
    case Code::GTT:
        return fixedSize(p, code, 9);
    case Code::GRT:
        return fixedSize(p, code, 28);
    case Code::GDT:
        return fixedSize(p, code, 31);
    case Code::GUT:
        return fixedSize(p, code, 27);
    case Code::DNW:
        return fixedSize(p, code, 10);
    case Code::ZCN:
        return fixedSize(p, code, 11);
    case Code::ZPC:
        return fixedSize(p, code, 12);
    case Code::GTP:
    case Code::GTZ:
    case Code::GNW:
    case Code::GSA:
        return message(code, 3);
    case Code::PAS:
        return fixedSize(p, code, 27);
    case Code::RDC:
        return cutRdc(p);
    case Code::SAP:
        if (p.size() < kSapSize)
            return needMore(code, kSapSize);
        return allUpperHex(p.sliced(3, 26)) ? message(code, kSapSize) : invalid(code);
    case Code::SDP:
        return cutSdp(p);
    case Code::SRC:
        return {CutStatus::DiscardAll, code, p.size(), std::nullopt};
    case Code::SNM:
    case Code::SNU: {
        const qsizetype size = code == Code::SNM ? 11 : 31;
        if (p.size() < size)
            return needMore(code, size);
        return isHexIdent(p) ? message(code, size) : invalid(code);
    }
    case Code::RC1:
    case Code::RC2:
    case Code::RC4:
        if (p.size() < 12)
            return needMore(code, 12);
        if (!isHexIdent(p))
            return invalid(code);
        return fixedSize(p, code, 12 + byteAt(p, 11));
    default:
        break;
    }
    if (partial)
        return needMore(Code::None, 0);
    return {CutStatus::Unknown, Code::None, 1, std::nullopt};
}

Cut cutClientMessage(QByteArrayView p)
{
    if (p.isEmpty())
        return needMore(Code::None, 0);
    bool partial = false;
    const Code code = headCode(p, kClientCodes, partial);
    switch (code) {
    case Code::QTP:
    case Code::QTZ:
    case Code::QRT:
    case Code::QDT:
    case Code::QNW:
    case Code::QSA: {
        if (p.size() < kReplyHeaderSize)
            return needMore(code, kReplyHeaderSize);
        std::int32_t length;
        std::memcpy(&length, p.data() + 3, sizeof length);
        if (length < 0 || length > kMaxReplyPayload)
            return {CutStatus::BadLength, code, 0, std::nullopt};
        return fixedSize(p, code, kReplyHeaderSize + length);
    }
    case Code::QTT:
        return fixedSize(p, code, 6);
    case Code::CAN: {
        if (p.size() < 12)
            return needMore(code, 12);
        const qsizetype n = byteAt(p, 11) & 0x0F;
        if (n > kMaxFrameData)
            return invalid(code);
        return fixedSize(p, code, 12 + n);
    }
    case Code::SDP:
        return cutSdp(p);
    case Code::SNM:
        // Consoles do not act on a GSM node's keep-alive; only its code is taken off.
        return message(code, 3);
    default:
        break;
    }
    if (partial)
        return needMore(Code::None, 0);
    return {CutStatus::Unknown, Code::None, 1, std::nullopt};
}

void Accumulator::append(QByteArrayView chunk)
{
    if (read_ > 0 && read_ >= buf_.size() / 2) {
        buf_.remove(0, read_);
        read_ = 0;
    }
    buf_.append(chunk);
}

void Accumulator::remove(qsizetype n)
{
    read_ += std::clamp<qsizetype>(n, 0, size());
    if (read_ == buf_.size()) {
        buf_.resize(0);
        read_ = 0;
    }
}

void Accumulator::clear()
{
    buf_.resize(0);
    read_ = 0;
}

void Receiver::dropConsumed()
{
    acc_.remove(consumed_);
    consumed_ = 0;
}

void Receiver::append(QByteArrayView chunk)
{
    dropConsumed();
    acc_.append(chunk);
}

void Receiver::clear()
{
    acc_.clear();
    consumed_ = 0;
}

Received Receiver::next()
{
    dropConsumed();
    for (;;) {
        const Cut cut = cut_(acc_.pending());
        switch (cut.status) {
        case CutStatus::Message:
            consumed_ = cut.length;
            return {CutStatus::Message, cut.code, acc_.pending().first(cut.length), 0, std::nullopt};
        case CutStatus::Invalid:
            acc_.remove(cut.length);
            continue;
        case CutStatus::DiscardAll:
            acc_.clear();
            continue;
        case CutStatus::Unknown:
            acc_.remove(cut.length);
            return {CutStatus::Unknown, Code::None, {}, 0, std::nullopt};
        case CutStatus::NeedMore:
            if (acc_.size() > maxPending_)
                return {CutStatus::Overflow, cut.code, {}, 0, std::nullopt};
            return {CutStatus::NeedMore, cut.code, {}, cut.length, cut.node};
        case CutStatus::BadLength:
        case CutStatus::Overflow:
            return {cut.status, cut.code, {}, 0, std::nullopt};
        }
    }
}

} // namespace kelcon
