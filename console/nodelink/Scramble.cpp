#include "Scramble.h"

namespace kelcon {

ScrambleKey::ScrambleKey(QByteArrayView password) : sums_(password.size(), '\0')
{
    std::uint8_t sum = 0;
    for (qsizetype i = password.size() - 1; i >= 0; --i) {
        sum = std::uint8_t(sum + std::uint8_t(password[i]));
        sums_[i] = char(sum);
    }
}

std::uint8_t scramble(std::span<std::uint8_t> bytes, const ScrambleKey& key)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        sum = std::uint8_t(sum + bytes[i]);
        bytes[i] ^= key.byteAt(qsizetype(i));
    }
    return sum;
}

std::uint8_t descramble(std::span<std::uint8_t> bytes, const ScrambleKey& key)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] ^= key.byteAt(qsizetype(i));
        sum = std::uint8_t(sum + bytes[i]);
    }
    return sum;
}

} // namespace kelcon
