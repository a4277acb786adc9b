#pragma once

#include "ucanx/ucanx.h"

#include <QString>

#include <memory>

namespace kelcon {

// The fourteen entry points of the adapter library. A test may fill the table with functions of
// its own; the program fills it from libucanx.so.
struct UcanxApi {
    decltype(&::CnOpen) CnOpen = nullptr;
    decltype(&::CnClose) CnClose = nullptr;
    decltype(&::CnInit) CnInit = nullptr;
    decltype(&::CnSetMaskFilters) CnSetMaskFilters = nullptr;
    decltype(&::CnSetBaudRate) CnSetBaudRate = nullptr;
    decltype(&::CnRecievePackets) CnRecievePackets = nullptr;
    decltype(&::CnSendPackets) CnSendPackets = nullptr;
    decltype(&::CnRecieveEnable) CnRecieveEnable = nullptr;
    decltype(&::CnRecieveDisable) CnRecieveDisable = nullptr;
    decltype(&::CnGetSerialNumber) CnGetSerialNumber = nullptr;
    decltype(&::CnSetRegisters) CnSetRegisters = nullptr;
    decltype(&::CnGetRegisters) CnGetRegisters = nullptr;
    decltype(&::CnSetDevParameters) CnSetDevParameters = nullptr;
    decltype(&::CnGetDevParameters) CnGetDevParameters = nullptr;

    bool complete() const;
};

// A loaded adapter library; unloads itself when destroyed.
class UcanxLibrary {
public:
    virtual ~UcanxLibrary() = default;
    virtual const UcanxApi& api() const = 0;
};

// Loads libucanx.so through the system's library search, then from the program's own folder.
// Null when the library is missing or lacks any of the fourteen exports.
std::unique_ptr<UcanxLibrary> loadUcanx(const QString& name = QStringLiteral("libucanx.so"));

// Wraps a ready-made table (tests).
std::unique_ptr<UcanxLibrary> ucanxFromTable(const UcanxApi& api);

} // namespace kelcon
