#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <array>
#include <cstddef>
#include <cstdint>
#include <sodium.h>

namespace session::secure {

// Starts libsodium once (thread-safe, cheap after the first call). False only when the
// library cannot start, for want of a randomness source; every entry point of this
// folder that needs randomness or a primitive checks it and fails as a result.
bool sodiumReady();

// A secret of a fixed size: wiped when it goes, compared in constant time, never
// converted to text. Copies are deliberate (each copy is wiped too).
template <std::size_t N>
class SecretBytes {
public:
    static constexpr std::size_t kSize = N;

    SecretBytes() { m_bytes.fill(0); }
    SecretBytes(const SecretBytes&) = default;
    SecretBytes& operator=(const SecretBytes&) = default;
    ~SecretBytes() { sodium_memzero(m_bytes.data(), N); }

    unsigned char* data() { return m_bytes.data(); }
    const unsigned char* data() const { return m_bytes.data(); }
    static constexpr std::size_t size() { return N; }

    bool operator==(const SecretBytes& other) const { return sodium_memcmp(data(), other.data(), N) == 0; }

private:
    std::array<unsigned char, N> m_bytes;
};

// A public value of a fixed size (a public key, a hash).
template <std::size_t N>
using PublicBytes = std::array<unsigned char, N>;

template <std::size_t N>
QByteArray toBytes(const PublicBytes<N>& value) {
    return QByteArray(reinterpret_cast<const char*>(value.data()), static_cast<qsizetype>(N));
}

// The bytes of `in` as a fixed-size value; false when the size differs.
template <std::size_t N>
bool fromBytes(QByteArrayView in, PublicBytes<N>& out) {
    if (static_cast<std::size_t>(in.size()) != N)
        return false;
    std::copy(in.begin(), in.end(), reinterpret_cast<char*>(out.data()));
    return true;
}

inline const unsigned char* bytesOf(QByteArrayView view) {
    return reinterpret_cast<const unsigned char*>(view.data());
}

} // namespace session::secure
