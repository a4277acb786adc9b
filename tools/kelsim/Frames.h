#pragma once

#include "can/CanFrame.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace kelcon::kelsim {

// The subject bits 11-8 a controller puts into its service reports. The console's register tells
// reports apart with the finer masks 0x8000FF0F and 0x8000FF0E, so they must read 0xF there.
constexpr std::uint32_t kStateWord = 0x8000FF08u;
constexpr std::uint32_t kParameterWord = 0x8000FF09u;
constexpr std::uint32_t kConflictWord = 0x8000FF0Au;
constexpr std::uint32_t kAlarmStatusWord = 0x8000FF0Bu;
constexpr std::uint32_t kOutsideWord = 0x0000F005u;
constexpr std::uint32_t kTimeBroadcastWord = 0x0000FF04u;

// Name objects (bits 11-8 of a name frame): circuits 0-5, the floor of a KEL-06, the building.
constexpr int kNameEtaz = 0xE;
constexpr int kNameZdan = 0xF;

using Pair = std::pair<std::uint8_t, std::uint8_t>;

inline TCanFrame dataFrame(std::uint32_t word, const std::uint8_t* data, int count) {
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    f.len = std::uint8_t(count);
    for (int i = 0; i < count && i < 8; ++i)
        f.data[i] = data[i];
    return f;
}

inline TCanFrame remoteFrame(std::uint32_t word) {
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    f.len = 0x40;
    return f;
}

// A report of (code, value) pairs; a frame carries at most four, so long lists go out as several frames.
inline void appendPairFrames(std::uint32_t word, const std::vector<Pair>& pairs,
                             std::vector<TCanFrame>& out) {
    for (std::size_t i = 0; i < pairs.size(); i += 4) {
        std::uint8_t d[8]{};
        int n = 0;
        for (std::size_t j = i; j < pairs.size() && j < i + 4; ++j) {
            d[n++] = pairs[j].first;
            d[n++] = pairs[j].second;
        }
        out.push_back(dataFrame(word, d, n));
    }
}

constexpr std::uint8_t toBcd(int v) {
    return std::uint8_t(((v / 10) << 4) | (v % 10));
}
constexpr int fromBcd(std::uint8_t b) {
    return (b & 0x0F) + (b >> 4) * 10;
}

// A temperature as the controllers send it: a signed byte, 150 for "no value".
inline std::uint8_t tempByte(double t) {
    return std::uint8_t(std::int8_t(t < 0 ? t - 0.5 : t + 0.5));
}

} // namespace kelcon::kelsim
