#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <span>

namespace kelcon {

// Setting changes travel scrambled with the change password, so that only a console holding the
// same password can change controllers through another node. The password never travels; a
// checksum of the plain bytes tells the receiver whether its password gave the sender's bytes.
//
// Key byte i is the sum (mod 256) of the password's bytes from index i mod L to its end; an empty
// password leaves the bytes as they are.
class ScrambleKey {
public:
    explicit ScrambleKey(QByteArrayView password);

    std::uint8_t byteAt(qsizetype i) const
    {
        return sums_.isEmpty() ? 0 : std::uint8_t(sums_[i % sums_.size()]);
    }

private:
    QByteArray sums_;
};

// Both return the checksum of the plain bytes (their sum mod 256). XOR is its own inverse; the two
// differ only in which side of the operation the checksum is taken.
std::uint8_t scramble(std::span<std::uint8_t> bytes, const ScrambleKey& key);
std::uint8_t descramble(std::span<std::uint8_t> bytes, const ScrambleKey& key);

} // namespace kelcon
