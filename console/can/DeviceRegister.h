#pragma once

#include "can/CanFrame.h"
#include "core/DateTime.h"

#include <QString>

#include <functional>
#include <vector>

namespace kelcon {

class DbConnection;

// What one frame changes in SPISKEL, as (kind, value) pairs:
// 1 building name, 2-8 alarm words 0-6, 9 floor name (KEL-06), 10 zone name (KEL-06),
// 11 KEL-06 alarm word, 12-17 temperature of KEL-06 zone circuit 0-5.
struct RegisterItem {
    int kind = 0;
    std::uint8_t value = 0;
    bool operator==(const RegisterItem&) const = default;
};

std::vector<RegisterItem> registerItems(const TCanFrame& frame);

// Keeps the controller's row of SPISKEL current for every frame: creates it when the controller is
// heard for the first time, refreshes LASTDATE and the names, stores alarm words and zone
// temperatures, and spreads building, floor and zone names to the rows that share them.
class DeviceRegister {
public:
    using NodeNameFn = std::function<QString(UzelIdent)>;

    DeviceRegister(DbConnection& db, const Clock& clock) : db_(db), clock_(clock) {}
    void setNodeName(NodeNameFn fn) { nodeName_ = std::move(fn); }

    // Throws DbError; the caller decides what a failure costs.
    void update(const TCanFrame& frame, UzelIdent node);

private:
    void applyItem(const TCanFrame& frame, UzelIdent node, const RegisterItem& item);

    DbConnection& db_;
    const Clock& clock_;
    NodeNameFn nodeName_;
};

} // namespace kelcon
