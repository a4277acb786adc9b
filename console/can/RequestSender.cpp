#include "can/RequestSender.h"

#include "can/Adapter.h"
#include "can/Requests.h"
#include "core/ConsoleState.h"
#include "nodelink/Messages.h"

#include <algorithm>

namespace kelcon {

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
    return sendLocal(node, MakeRequestFrame(word));
}

int RequestSender::SendData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count)
{
    if (state_.remoteMode) {
        if (!state_.remoteLinkUp || !sendRemoteFrame)
            return 1;
        sendRemoteFrame(node, word, data, count);
        return 0;
    }
    return sendLocal(node, MakeDataFrame(word, data, count));
}

int RequestSender::ExecuteRemoteRequest(UzelIdent node, std::uint32_t word)
{
    if (!state_.settings.changesOverNetwork && IsStepChange(word))
        return 0;
    return sendLocal(node, MakeRequestFrame(word));
}

int RequestSender::ExecuteRemoteData(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count)
{
    if (!state_.settings.changesOverNetwork && IsSettingsWrite(word))
        return 0;
    return sendLocal(node, MakeDataFrame(word, data, count));
}

} // namespace kelcon
