#pragma once

#include "can/CanFrame.h"

#include <QByteArray>

#include <cstdint>
#include <functional>

namespace kelcon {

class Adapter;
struct ConsoleState;

// Everything the console asks of a controller goes out here: on the own bus, relayed as "SRC" to
// the GSM node the controller sits behind, or handed to the remote node in remote mode.
// Result 0: handed over; anything else: not ("Ошибка передачи запроса" in the windows).
class RequestSender {
public:
    RequestSender(ConsoleState& state, Adapter& adapter) : state_(state), adapter_(adapter) {}

    // The node registry: 0 sent, 1 no connection to that node.
    std::function<int(UzelIdent, const QByteArray&)> sendToNode;
    // The node-link client of remote mode.
    std::function<void(UzelIdent, std::uint32_t word)> sendRemoteRequest;
    std::function<void(UzelIdent, std::uint32_t word, const std::uint8_t* data, int count)> sendRemoteFrame;

    int SendRequest(UzelIdent node, std::uint32_t word);
    int SendData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count);

    // Requests received from other nodes: step changes and settings writes pass only while
    // changes over the network are allowed; a refused one is dropped silently with result 0.
    int ExecuteRemoteRequest(UzelIdent node, std::uint32_t word);
    int ExecuteRemoteData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count);

private:
    int sendLocal(UzelIdent node, const TCanFrame& frame);

    ConsoleState& state_;
    Adapter& adapter_;
};

} // namespace kelcon
