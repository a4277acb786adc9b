#pragma once

#include "can/CanFrame.h"
#include "nodelink/Messages.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <limits>
#include <optional>

namespace kelcon {

// The node link has no framing of its own: the code at the head decides how many bytes make the
// message. A receiver appends what the socket gives to an accumulator and asks, as often as it
// gets an answer other than NeedMore, what is at the head.
enum class CutStatus {
    NeedMore,   // wait for the next chunk; nothing is removed
    Message,    // a whole message of `length` bytes is at the head
    Invalid,    // a length, count or hexadecimal field is wrong: drop `length` (one) byte and go on
    Unknown,    // no code of this side at the head: drop `length` bytes; a server closes a console
    DiscardAll, // "SRC" sent to a server: the whole accumulator is thrown away
    BadLength,  // a reply length word no console can have sent: close the connection
    Overflow,   // more unprocessed bytes than any peer has a reason to send: close the connection
};

struct Cut {
    CutStatus status = CutStatus::NeedMore;
    Code code = Code::None;
    // Message: its size. Invalid, Unknown: bytes to drop. NeedMore: the size the head has to
    // reach before anything more can be decided (0 while the code itself is incomplete), which for
    // a reply whose length word has arrived is the whole reply (the progress shown while waiting).
    qsizetype length = 0;
    // "RDC" whose header has arrived: its node, which the server marks as alive straight away.
    std::optional<UzelIdent> node;
};

// What a server cuts: console commands and GSM-node messages, in this order:
// CAN CPM GTT GRT GDT GUT DNW ZCN ZPC GTP GTZ GNW PAS GSA RDC SAP SDP SRC SNM SNU RC1 RC2 RC4.
// Blanks (bytes up to 0x20) alone are left for the next chunk; before anything else they are an
// unknown head.
Cut cutServerMessage(QByteArrayView pending);

// What a console's client cuts: QTP QTZ QRT QDT QTT QNW CAN QSA SDP SNM.
Cut cutClientMessage(QByteArrayView pending);

// Replies longer than this are not something a console sends; the log file of "QSA" is the only
// large one.
constexpr qsizetype kMaxReplyPayload = qsizetype(256) * 1024 * 1024;
// The largest server-side message ("RDC" with 255 records) is under 10 KB.
constexpr qsizetype kMaxServerPending = 64 * 1024;

// Received bytes not yet cut. Bytes are dropped from the front by moving a read offset; the
// buffer is compacted only when the dropped part is at least half of it, so skipping garbage a
// byte at a time stays linear.
class Accumulator {
public:
    void append(QByteArrayView chunk);
    QByteArrayView pending() const { return QByteArrayView(buf_).sliced(read_); }
    qsizetype size() const { return buf_.size() - read_; }
    bool isEmpty() const { return size() == 0; }
    void remove(qsizetype n);
    void clear();

private:
    QByteArray buf_;
    qsizetype read_ = 0;
};

// One connection's accumulator and cutter. next() drops what has to be dropped (the previous
// message, invalid heads, "SRC" resets) and returns the next thing the caller has to act on:
// Message, Unknown, NeedMore, BadLength or Overflow. A Message's bytes stay valid until the next
// call to next() or append().
struct Received {
    CutStatus status = CutStatus::NeedMore;
    Code code = Code::None;
    QByteArrayView message;
    qsizetype needed = 0;          // NeedMore: see Cut::length
    std::optional<UzelIdent> node; // NeedMore on an "RDC" header: see Cut::node
};

class Receiver {
public:
    using CutFunction = Cut (*)(QByteArrayView);

    Receiver(CutFunction cut, qsizetype maxPending) : cut_(cut), maxPending_(maxPending) {}

    void append(QByteArrayView chunk);
    Received next();
    qsizetype pendingSize() const { return acc_.size() - consumed_; }
    void clear();

private:
    void dropConsumed();

    CutFunction cut_;
    qsizetype maxPending_;
    Accumulator acc_;
    qsizetype consumed_ = 0;
};

// A server connection: more than 64 KiB left unprocessed means the peer is not speaking the
// node link, and the connection is to be closed.
class ServerReceiver : public Receiver {
public:
    ServerReceiver() : Receiver(&cutServerMessage, kMaxServerPending) {}
};

// The client connection of a console; its replies may be large (the alarm log), so only the
// reply length word bounds what it keeps.
class ClientReceiver : public Receiver {
public:
    ClientReceiver() : Receiver(&cutClientMessage, std::numeric_limits<qsizetype>::max()) {}
};

} // namespace kelcon
