#pragma once

#include "nodelink/Messages.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

namespace kelcon {

class DbConnection;

// The name a peer goes by in event lines: the name of the first remote-node line
// "name (address)" whose address is the peer's, else the address itself.
QString PeerName(const QString& address, const QStringList& remoteNodeLines);

// The four parts of a dotted IPv4 address; nothing for a name or anything else.
std::optional<std::array<int, 4>> dottedParts(const QString& text);

// One command a console sent, as the command log keeps it.
struct LoggedCommand {
    Code code = Code::None;
    std::uint32_t ident = 0; // 0 for commands without an identifier word
    std::array<std::uint8_t, 8> params{};
    int paramCount = 0;
    std::uint8_t building = 0; // "GTT"
    std::uint8_t floor = 0;    // "GTT"
    std::int32_t selector = 0; // "GRT", "GDT"
};

// "Клиент (<name>) ..." for the event log; the name is the console's display name.
QString CommandText(const QString& displayName, const LoggedCommand& cmd);

// The parts of the texts that depend on the controller: what a "CPM" sets, which line a "GRT"
// asks for, what a "ZCN" asks for and what step a "ZPC" makes. Empty when the values name nothing.
QString CpmAction(const std::uint8_t* data, int count);
QString CpmScope(const std::uint8_t* data, int count);
QString GrtLine(int type, int selector);
QString ZcnItem(int type, std::uint32_t word);
QString ZpcPhrase(int type, std::uint32_t word);

// The SPISCMD row of a console known only by its address.
void insertCommandRow(DbConnection& db, const QDateTime& time, const std::array<int, 4>& address,
                      const LoggedCommand& cmd);

} // namespace kelcon
