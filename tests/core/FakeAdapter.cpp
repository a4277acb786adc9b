#include "FakeAdapter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fake {

namespace {

Script g;
std::uint8_t controlReg = 0;

CUsbCan* handleOf(int n) { return reinterpret_cast<CUsbCan*>(std::uintptr_t(0x1000 + n)); }

void note(const char* fmt, int a = 0, int b = 0)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    g.calls.emplace_back(buf);
}

CUsbCan* open(std::uint8_t n)
{
    note("CnOpen %d", n);
    return g.channels.count(n) ? handleOf(n) : nullptr;
}
int32_t close(CUsbCan*) { note("CnClose"); return -1; }
int32_t init(CUsbCan*, std::uint8_t* answer, std::uint8_t mode)
{
    note("CnInit %d", mode);
    *answer = g.initAnswer;
    return g.initOk ? 1 : 0;
}
int32_t maskFilters(CUsbCan*, const UcanxFilterRecord* r)
{
    static const UcanxFilterRecord zero{};
    note(std::memcmp(r, &zero, sizeof zero) == 0 ? "CnSetMaskFilters zero" : "CnSetMaskFilters other");
    return g.filtersOk ? 1 : 0;
}
int32_t baud(CUsbCan*, std::uint8_t code) { note("CnSetBaudRate %d", code); return g.baudOk ? 1 : 0; }
int32_t enable(CUsbCan*) { note("CnRecieveEnable"); return g.enableOk ? 1 : 0; }
int32_t disable(CUsbCan*) { note("CnRecieveDisable"); return 1; }
int32_t receive(CUsbCan*, UcanxFrame* frames, uint32_t* count)
{
    ++g.receiveCalls;
    if (!g.receiveOk) {
        *count = 0;
        return 0;
    }
    uint32_t n = 0;
    while (n < *count && !g.incoming.empty()) {
        std::memcpy(&frames[n++], &g.incoming.front(), 16);
        g.incoming.pop_front();
    }
    *count = n;
    return -1;
}
int32_t send(CUsbCan*, const UcanxFrame* frames, uint32_t count, std::uint8_t* status)
{
    for (uint32_t i = 0; i < count; ++i) {
        kelcon::TCanFrame f;
        std::memcpy(static_cast<void*>(&f), &frames[i], 16);
        g.sent.push_back(f);
    }
    if (status)
        *status = g.sendStatus;
    return -1;
}
int32_t serial(CUsbCan*, char*, uint32_t) { return -1; }
int32_t setRegs(CUsbCan*, std::uint8_t first, std::uint8_t count, const std::uint8_t* data)
{
    note("CnSetRegisters %02x=%02x", first, count ? data[0] : 0);
    if (first == 0x0F && count)
        controlReg = data[0] ? g.configModeReadback : g.normalModeReadback;
    return g.registersOk ? 1 : 0;
}
int32_t getRegs(CUsbCan*, std::uint8_t first, std::uint8_t count, std::uint8_t* buffer)
{
    note("CnGetRegisters %02x", first);
    if (first == 0x0F && count)
        buffer[0] = controlReg;
    return g.registersOk ? 1 : 0;
}
int32_t getParams(CUsbCan*, std::uint8_t* block)
{
    note("CnGetDevParameters");
    if (!g.paramsReadable)
        return 0;
    std::memcpy(block, g.params.data(), std::min<std::size_t>(block[0], g.params.size()));
    return 1;
}
int32_t setParams(CUsbCan*, const std::uint8_t* block)
{
    note("CnSetDevParameters");
    g.written.assign(block, block + block[0]);
    return g.paramsWritable ? 1 : 0;
}

} // namespace

Script& script() { return g; }

void reset()
{
    g = Script{};
    controlReg = 0;
}

kelcon::UcanxApi api()
{
    kelcon::UcanxApi a;
    a.CnOpen = open;
    a.CnClose = close;
    a.CnInit = init;
    a.CnSetMaskFilters = maskFilters;
    a.CnSetBaudRate = baud;
    a.CnRecievePackets = receive;
    a.CnSendPackets = send;
    a.CnRecieveEnable = enable;
    a.CnRecieveDisable = disable;
    a.CnGetSerialNumber = serial;
    a.CnSetRegisters = setRegs;
    a.CnGetRegisters = getRegs;
    a.CnSetDevParameters = setParams;
    a.CnGetDevParameters = getParams;
    return a;
}

} // namespace fake
