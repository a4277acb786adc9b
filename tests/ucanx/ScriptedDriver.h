#pragma once

#include "ucanx/Driver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <ostream>
#include <vector>

// Stands in for the adapter's kernel driver: records every control call with its exact input
// bytes and answers from a script (success with no bytes once the script is used up).
namespace scripted {

using Bytes = std::vector<std::uint8_t>;

struct Call {
    std::uint32_t code = 0;
    Bytes in;
    std::uint32_t outSize = 0;
    bool operator==(const Call&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Call& c) {
    os << std::hex << "{0x" << c.code << " in[";
    for (auto b : c.in)
        os << ' ' << int(b);
    return os << " ] out " << std::dec << c.outSize << '}';
}

struct Answer {
    int result = 1;
    Bytes out;
};

struct Script {
    std::deque<Answer> answers;
    std::vector<Call> calls;
    std::vector<int> opened;
};

class ScriptedDriver final : public ucanx::Driver {
public:
    explicit ScriptedDriver(std::shared_ptr<Script> s) : s_(std::move(s)) {}

    int control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                std::uint32_t* returned) override {
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        s_->calls.push_back({code, Bytes(bytes, bytes + inSize), outSize});
        Answer a;
        if (!s_->answers.empty()) {
            a = s_->answers.front();
            s_->answers.pop_front();
        }
        const auto n = std::min<std::uint32_t>(outSize, std::uint32_t(a.out.size()));
        if (n)
            std::memcpy(out, a.out.data(), n);
        *returned = n;
        return a.result;
    }

private:
    std::shared_ptr<Script> s_;
};

// The 7-byte request header, followed by the data of a write request.
inline Bytes request(std::uint8_t number, std::uint16_t value, std::uint16_t index, std::uint16_t length,
                     Bytes data = {}) {
    std::uint8_t header[ucanx::kRequestHeaderSize];
    ucanx::putHeader(header, {number, value, index, length});
    Bytes b(header, header + sizeof header);
    for (auto d : data)
        b.push_back(d);
    return b;
}

} // namespace scripted
