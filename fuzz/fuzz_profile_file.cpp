// The profile (settings) file reader on hostile file content: any bytes, valid UTF-8
// or code page 932 or neither, any line ends. When the first input byte is odd, the
// section and key names come from the input too ("section NUL key NUL file bytes"),
// otherwise the program's own General/Address entry is read.

#include "platform/ProfileFile.h"
#include "platform/TextCodec.h"

#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// The same name in other ASCII letter case, which must find the same entry.
QString swappedAsciiCase(const QString& name) {
    QString swapped = name;
    for (QChar& c : swapped) {
        const char16_t u = c.unicode();
        if (u >= u'a' && u <= u'z')
            c = QChar(static_cast<char16_t>(u - (u'a' - u'A')));
        else if (u >= u'A' && u <= u'Z')
            c = QChar(static_cast<char16_t>(u + (u'a' - u'A')));
    }
    return swapped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    QByteArray input(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    QString section = u"General"_s;
    QString key = u"Address"_s;
    if (data[0] & 1) {
        const qsizetype first = input.indexOf('\0');
        const qsizetype second = first < 0 ? -1 : input.indexOf('\0', first + 1);
        if (second < 0)
            return 0;
        section = QString::fromUtf8(input.first(first));
        key = QString::fromUtf8(input.sliced(first + 1, second - first - 1));
        input = input.sliced(second + 1);
    }

    const QString absent = QString::fromUtf16(platform::kAbsentSentinel);
    const QString value = platform::ProfileFile::readFromBytes(input, section, key, absent);
    check(platform::ProfileFile::readFromBytes(input, swappedAsciiCase(section), swappedAsciiCase(key), absent) ==
          value);
    if (value == absent)
        return 0;
    // A value never spans lines, starts with a blank (unless the blank was quoted), or
    // holds more than the stored byte limit: in UTF-8 counted directly, in code page 932
    // every character came from one or two bytes and is one UTF-16 unit.
    check(!value.contains(u'\n'));
    check(value.isEmpty() || (value.front() != u' ' && value.front() != u'\t') || input.contains('"'));
    if (platform::isValidUtf8(input))
        check(value.toUtf8().size() <= platform::ProfileFile::kMaxValueBytes);
    else
        check(value.size() <= platform::ProfileFile::kMaxValueBytes);
    return 0;
}
