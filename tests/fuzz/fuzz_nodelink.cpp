// libFuzzer target for the node-link receive paths of the server and the client.
//
// Byte 0 of the input picks where the rest is split into two reads. Checked for every input:
// nothing crashes or reads out of bounds (ASan, UBSan); every message a cutter hands over starts
// with its code and is readable by its reader; and the messages and unknown heads are the same
// whether the bytes arrive in one read or in two.
#include "nodelink/Cutter.h"
#include "nodelink/Parse.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace kelcon;

namespace {

struct Event {
    CutStatus status;
    Code code;
    QByteArray bytes;
    bool operator==(const Event&) const = default;
};

void require(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void checkServerMessage(Code code, QByteArrayView m)
{
    switch (code) {
    case Code::CAN:
        require(parseCan(m).has_value());
        break;
    case Code::CPM:
        (void)verifyCpm(m, "password", true);
        (void)verifyCpm(m, {}, true);
        break;
    case Code::ZPC:
        (void)verifyZpc(m, "password", true);
        break;
    case Code::ZCN:
        require(parseZcn(m).has_value());
        break;
    case Code::GTT:
        require(parseGtt(m).has_value());
        break;
    case Code::GRT:
        require(parseGrt(m).has_value());
        break;
    case Code::GUT:
        require(parseGut(m).has_value());
        break;
    case Code::GDT:
        require(parseGdt(m).has_value());
        break;
    case Code::DNW:
        require(parseDnw(m).has_value());
        break;
    case Code::PAS:
        require(parsePas(m).has_value());
        break;
    case Code::RDC:
        require(parseRdc(m).has_value());
        break;
    case Code::SAP:
        require(parseSap(m).has_value());
        break;
    case Code::SDP: {
        const auto sdp = parseSdp(m);
        require(sdp.has_value());
        for (const SdpRecord& s : sdp->sensors)
            (void)s.frame(), (void)s.name();
        break;
    }
    case Code::SNM:
        require(parseSnm(m).has_value());
        break;
    case Code::SNU:
        require(parseSnu(m).has_value());
        break;
    case Code::RC1:
    case Code::RC2:
    case Code::RC4:
        require(parseRc(m).has_value());
        break;
    default:
        break;
    }
}

void checkClientMessage(Code code, QByteArrayView m)
{
    switch (code) {
    case Code::CAN:
        require(parseRelayedCan(m).has_value());
        break;
    case Code::QTT:
        require(parseQtt(m).has_value());
        break;
    case Code::SDP:
        require(parseSdp(m).has_value());
        break;
    case Code::SNM:
        require(m.size() == 3);
        break;
    default: {
        const auto payload = replyPayload(m);
        require(payload.has_value() && payload->size() == m.size() - kReplyHeaderSize);
        (void)readRecords<TablIPTZ>(*payload);
        break;
    }
    }
}

template <typename R>
std::vector<Event> run(const std::vector<QByteArrayView>& chunks, bool server)
{
    R r;
    std::vector<Event> out;
    for (QByteArrayView chunk : chunks) {
        r.append(chunk);
        for (;;) {
            const Received got = r.next();
            if (got.status == CutStatus::Message) {
                require(got.message.first(3) == codeText(got.code));
                if (server)
                    checkServerMessage(got.code, got.message);
                else
                    checkClientMessage(got.code, got.message);
            } else if (got.status != CutStatus::Unknown) {
                require(got.status == CutStatus::NeedMore || got.status == CutStatus::BadLength ||
                        got.status == CutStatus::Overflow);
                break;
            }
            out.push_back({got.status, got.code, got.message.toByteArray()});
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView input(data + 1, qsizetype(size - 1));
    const qsizetype split = input.isEmpty() ? 0 : data[0] % (input.size() + 1);
    const std::vector<QByteArrayView> whole = {input};
    const std::vector<QByteArrayView> parts = {input.first(split), input.sliced(split)};

    const auto serverWhole = run<ServerReceiver>(whole, true);
    // "SRC" throws away whatever has arrived so far, which depends on how the bytes were read.
    if (!input.contains("SRC"))
        require(run<ServerReceiver>(parts, true) == serverWhole);
    require(run<ClientReceiver>(parts, false) == run<ClientReceiver>(whole, false));
    return 0;
}
