#pragma once

// A scripted adapter library for the console's tests: a table of plain functions over one global
// script, so every call the console makes can be checked and every answer chosen.

#include "can/CanFrame.h"
#include "can/UcanxLibrary.h"

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct Script {
    std::set<int> channels{1};                 // numbers that open
    std::vector<std::uint8_t> params{8, 0, 1, 1, 0, 0, 0, 0};
    bool paramsReadable = true;
    bool paramsWritable = true;
    std::uint8_t initAnswer = 0x11;
    bool initOk = true;
    std::uint8_t configModeReadback = 0x80;
    std::uint8_t normalModeReadback = 0x00;
    bool registersOk = true;
    bool baudOk = true;
    bool filtersOk = true;
    bool enableOk = true;
    bool receiveOk = true;
    std::uint8_t sendStatus = 0;

    std::deque<kelcon::TCanFrame> incoming;
    std::vector<kelcon::TCanFrame> sent;
    std::vector<std::string> calls; // "CnOpen 1", "CnSetRegisters 0f=80", ...
    std::vector<std::uint8_t> written; // the parameter block as written back
    int receiveCalls = 0;
};

Script& script();
void reset();
kelcon::UcanxApi api();

} // namespace fake
