#include "platform/TextCodec.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>

namespace platform {

namespace {

// glibc's converter under the name that maps 0x5C to the backslash and accepts the
// characters Windows accepts (its SHIFT_JIS tables do neither).
constexpr char kCp932Name[] = "CP932";
constexpr char kUtf8Name[] = "UTF-8";

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != invalidHandle(); }

    // Converts as much as possible of [in, in + inLeft) into `out`; returns 0 when all
    // input was taken, otherwise the errno of the byte where conversion stopped.
    int convert(const char*& in, size_t& inLeft, QByteArray& out) {
        char buffer[4096];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            char* inPtr = const_cast<char*>(in);
            const size_t result = iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft);
            const int error = errno;
            in = inPtr;
            out.append(buffer, outPtr - buffer);
            if (result != static_cast<size_t>(-1))
                continue;
            if (error != E2BIG)
                return error;
        }
        return 0;
    }

    void reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

private:
    static iconv_t invalidHandle() { return reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1)); }

    iconv_t m_cd;
};

bool isCp932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

} // namespace

bool isValidUtf8(QByteArrayView bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        qsizetype length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0)
                low = 0xA0; // overlong
            else if (b == 0xED)
                high = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0)
                low = 0x90; // overlong
            else if (b == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        if (p[i + 1] < low || p[i + 1] > high)
            return false;
        for (qsizetype k = 2; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

FileEncoding detectFileEncoding(QByteArrayView bytes) {
    return isValidUtf8(bytes) ? FileEncoding::Utf8 : FileEncoding::Cp932;
}

QString decodeFileText(const QByteArray& bytes) {
    if (isValidUtf8(bytes)) {
        QByteArrayView view(bytes);
        if (view.startsWith("\xEF\xBB\xBF"))
            view = view.sliced(3);
        return QString::fromUtf8(view);
    }
    return decodeCp932(bytes);
}

QString decodeCp932(QByteArrayView bytes) {
    QByteArray utf8;
    utf8.reserve(bytes.size() * 3);
    Converter converter(kUtf8Name, kCp932Name);
    if (!converter.valid()) {
        // Without the converter (a system lacking glibc's conversion modules) the
        // ASCII part is still worth keeping.
        for (const char c : bytes) {
            if (static_cast<unsigned char>(c) < 0x80)
                utf8.append(c);
            else
                utf8.append(kReplacementUtf8);
        }
        return QString::fromUtf8(utf8);
    }
    const char* in = bytes.data();
    size_t inLeft = static_cast<size_t>(bytes.size());
    while (inLeft > 0) {
        if (converter.convert(in, inLeft, utf8) == 0)
            break;
        // An invalid or incomplete sequence: give up one byte only, so that a lead
        // byte followed by a line end still leaves the line end in place.
        utf8.append(kReplacementUtf8);
        ++in;
        --inLeft;
        converter.reset();
    }
    return QString::fromUtf8(utf8);
}

std::optional<QByteArray> encodeCp932(const QString& text) {
    Converter converter(kCp932Name, kUtf8Name);
    if (!converter.valid())
        return std::nullopt;
    const QByteArray utf8 = text.toUtf8();
    const char* in = utf8.constData();
    size_t inLeft = static_cast<size_t>(utf8.size());
    QByteArray encoded;
    encoded.reserve(utf8.size());
    if (converter.convert(in, inLeft, encoded) != 0)
        return std::nullopt;
    // Several characters share one code, and a text that would be read back as
    // another text is not representable.
    if (decodeCp932(encoded) != text)
        return std::nullopt;
    return encoded;
}

QByteArray cutToWholeCharacters(QByteArrayView bytes, qsizetype maxBytes, FileEncoding encoding) {
    if (maxBytes <= 0)
        return {};
    if (bytes.size() <= maxBytes)
        return bytes.toByteArray();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    qsizetype end = 0;
    if (encoding == FileEncoding::Utf8) {
        end = maxBytes;
        while (end > 0 && (p[end] & 0xC0) == 0x80)
            --end;
    } else {
        // Lead and trail bytes can only be told apart from the start of the text.
        qsizetype i = 0;
        while (i < bytes.size()) {
            const qsizetype length = isCp932LeadByte(p[i]) ? 2 : 1;
            if (i + length > maxBytes)
                break;
            i += length;
        }
        end = i;
    }
    return bytes.first(end).toByteArray();
}

} // namespace platform
