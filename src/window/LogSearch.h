#pragma once

#include <QList>
#include <QString>
#include <QStringView>
#include <optional>

namespace window {

// Finding text in the chat log as a Japanese reader expects: upper and lower case,
// full and half width, and hiragana and katakana count as the same.
//
// A stretch of the log, [start, end) in its UTF-16 units.
struct FoundText {
    int start = 0;
    int end = 0;
    friend bool operator==(const FoundText&, const FoundText&) = default;
};

// The occurrence of `needle` in `text` nearest after `from` (going forward: starting at
// or after it) or before it (going back: ending at or before it), going round the end
// of the text; nothing when there is none or the needle folds to nothing.
std::optional<FoundText> findInLog(QStringView text, QStringView needle, int from, bool backward);

// The web or mail address (http, https, mailto) that the character at `position` of
// `line` belongs to; empty when there is none. Punctuation that ends a sentence after
// an address is not part of it.
QString linkAt(QStringView line, int position);

} // namespace window
