/* ucanx.h is a C header: this file must compile as C and see all fourteen functions. */
#include "ucanx/ucanx.h"

int ucanxHeaderExportCount(void);

int ucanxHeaderExportCount(void)
{
    const void* exports[] = {
        (const void*)CnOpen,           (const void*)CnClose,           (const void*)CnInit,
        (const void*)CnSetMaskFilters, (const void*)CnRecieveEnable,   (const void*)CnRecieveDisable,
        (const void*)CnRecievePackets, (const void*)CnSendPackets,     (const void*)CnSetBaudRate,
        (const void*)CnGetSerialNumber, (const void*)CnGetRegisters,   (const void*)CnSetRegisters,
        (const void*)CnGetDevParameters, (const void*)CnSetDevParameters,
    };
    int n = 0;
    for (unsigned i = 0; i < sizeof exports / sizeof exports[0]; ++i)
        n += exports[i] != 0;
    return n;
}
