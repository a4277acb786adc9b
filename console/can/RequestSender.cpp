#include "can/RequestSender.h"

#include "can/Adapter.h"
#include "core/ConsoleState.h"
#include "nodelink/Messages.h"

#include <algorithm>

namespace kelcon {

TCanFrame requestFrame(std::uint32_t word)
{
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    f.len = 0x40;
    return f;
}

TCanFrame dataFrame(std::uint32_t word, const std::uint8_t* data, int count)
{
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    count = std::clamp(count, 0, 8);
    f.len = std::uint8_t(count);
    if (data)
        std::copy(data, data + count, f.data.begin());
    return f;
}

bool RequestSender::isStepChange(std::uint32_t word)
{
    const std::uint32_t op = word & 0x8000000Fu;
    return op == 0x80000001u || op == 0x80000002u || (word & 0x8000FF0Fu) == 0x8000E006u;
}

bool RequestSender::isSettingsWrite(std::uint32_t word)
{
    return (word & 0x8000E00Fu) == 0x0000A000u;
}

int RequestSender::sendLocal(UzelIdent node, const TCanFrame& frame)
{
    const int status = adapter_.send(frame);
    if (node == 0)
        return status;
    return sendToNode ? sendToNode(node, buildSrc(frame)) : 1;
}

int RequestSender::SendRequest(UzelIdent node, std::uint32_t word)
{
    if (state_.remoteMode) {
        if (!state_.remoteLinkUp || !sendRemoteRequest)
            return 1;
        sendRemoteRequest(node, word);
        return 0;
    }
    return sendLocal(node, requestFrame(word));
}

int RequestSender::SendData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count)
{
    if (state_.remoteMode) {
        if (!state_.remoteLinkUp || !sendRemoteFrame)
            return 1;
        sendRemoteFrame(node, word, data, count);
        return 0;
    }
    return sendLocal(node, dataFrame(word, data, count));
}

int RequestSender::ExecuteRemoteRequest(UzelIdent node, std::uint32_t word)
{
    if (!state_.settings.changesOverNetwork && isStepChange(word))
        return 0;
    return sendLocal(node, requestFrame(word));
}

int RequestSender::ExecuteRemoteData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count)
{
    if (!state_.settings.changesOverNetwork && isSettingsWrite(word))
        return 0;
    return sendLocal(node, dataFrame(word, data, count));
}

} // namespace kelcon
