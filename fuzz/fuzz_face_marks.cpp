// The face-mark file as the chat window loads it: any bytes, decoded as UTF-8 or code
// page 932, then split into entries at line ends. Every line end ends exactly one
// entry, and no character is lost or added except the line ends.

#include "platform/TextCodec.h"
#include "window/FaceMarks.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = platform::decodeFileText(bytes);
    const QStringList entries = window::SplitFaceMarks(text);

    // Walk the text again: each entry followed by its line end (CR LF, CR or LF), in
    // order, and nothing of the text lost or added on the way.
    const auto isLineEnd = [](QChar c) { return c == u'\r' || c == u'\n'; };
    qsizetype pos = 0;
    for (const QString& entry : entries) {
        check(!entry.contains(u'\r') && !entry.contains(u'\n'));
        check(QStringView(text).sliced(pos).startsWith(entry));
        pos += entry.size();
        check(pos < text.size() && isLineEnd(text.at(pos)));
        if (text.at(pos) == u'\r' && pos + 1 < text.size() && text.at(pos + 1) == u'\n')
            ++pos;
        ++pos;
    }
    // What is left after the last line end is no entry and holds no line end.
    check(std::none_of(text.cbegin() + pos, text.cend(), isLineEnd));
    return 0;
}
