#pragma once

/* The adapter library's C interface. The console loads the library by file name and binds these
 * fourteen functions by name, so their names (the misspelt "Recieve" included), arguments and
 * results are fixed. A result is a success when it is not zero. */

#include <stdint.h>

#if defined(_WIN32)
#if defined(UCANX_BUILDING)
#define UCANX_API __declspec(dllexport)
#else
#define UCANX_API __declspec(dllimport)
#endif
#else
#define UCANX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One open adapter. The console holds only the pointer; the library checks every pointer it is
 * given against its list of open adapters before touching it. */
typedef struct CUsbCan CUsbCan;

/* The 16-byte frame record shared with the console: identifier word (little-endian), length byte
 * (bits 0-3 data length, bit 6 remote request), eight data bytes, three reserved bytes. */
typedef struct UcanxFrame {
    uint32_t ident;
    uint8_t len;
    uint8_t data[8];
    uint8_t reserved[3];
} UcanxFrame;

/* The 16-byte record of CnSetMaskFilters. zero must be 0; rxb0ctrl is the value for the control
 * register of receive buffer 0 (bits 5-6 = 0 receive every frame, 3 apply mask and filters);
 * mask and filters are identifier words like UcanxFrame.ident. */
typedef struct UcanxFilterRecord {
    uint8_t zero;
    uint8_t rxb0ctrl;
    uint8_t unused[2];
    uint32_t mask;
    uint32_t filter0;
    uint32_t filter1;
} UcanxFilterRecord;

#if defined(__cplusplus)
static_assert(sizeof(UcanxFrame) == 16, "the frame record is 16 bytes");
static_assert(sizeof(UcanxFilterRecord) == 16, "the filter record is 16 bytes");
#else
_Static_assert(sizeof(UcanxFrame) == 16, "the frame record is 16 bytes");
_Static_assert(sizeof(UcanxFilterRecord) == 16, "the filter record is 16 bytes");
#endif

UCANX_API CUsbCan* CnOpen(uint8_t number);
UCANX_API int32_t CnClose(CUsbCan* handle);
UCANX_API int32_t CnInit(CUsbCan* handle, uint8_t* answer, uint8_t mode);
UCANX_API int32_t CnSetMaskFilters(CUsbCan* handle, const UcanxFilterRecord* record);
UCANX_API int32_t CnRecieveEnable(CUsbCan* handle);
UCANX_API int32_t CnRecieveDisable(CUsbCan* handle);
UCANX_API int32_t CnRecievePackets(CUsbCan* handle, UcanxFrame* frames, uint32_t* count);
UCANX_API int32_t CnSendPackets(CUsbCan* handle, const UcanxFrame* frames, uint32_t count, uint8_t* status);
UCANX_API int32_t CnSetBaudRate(CUsbCan* handle, uint8_t rateCode);
UCANX_API int32_t CnGetSerialNumber(CUsbCan* handle, char* text, uint32_t size);
UCANX_API int32_t CnGetRegisters(CUsbCan* handle, uint8_t first, uint8_t count, uint8_t* buffer);
UCANX_API int32_t CnSetRegisters(CUsbCan* handle, uint8_t first, uint8_t count, const uint8_t* data);
UCANX_API int32_t CnGetDevParameters(CUsbCan* handle, uint8_t* block);
UCANX_API int32_t CnSetDevParameters(CUsbCan* handle, const uint8_t* block);

#ifdef __cplusplus
}
#endif
