#include "window/LogSearch.h"

#include <QChar>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace window {

namespace {

constexpr char16_t kFirstKatakana = u'\u30A1'; // ァ
constexpr char16_t kLastKatakana = u'\u30F6';  // ヶ
constexpr char16_t kKatakanaToHiragana = 0x60;

// Text folded for comparing, and for each folded unit the stretch of the original it
// came from.
struct Folded {
    QString text;
    QList<FoundText> origin;
};

QString foldPiece(const QString& piece) {
    // Decomposed, so that a half-width voiced kana (two characters) and a full-width
    // one (one character) fold to the same units.
    QString folded = piece.normalized(QString::NormalizationForm_KD).toCaseFolded();
    for (QChar& unit : folded) {
        if (unit.unicode() >= kFirstKatakana && unit.unicode() <= kLastKatakana) {
            unit = QChar(static_cast<char16_t>(unit.unicode() - kKatakanaToHiragana));
        }
    }
    return folded;
}

Folded fold(QStringView text) {
    Folded folded;
    folded.text.reserve(text.size());
    folded.origin.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString piece = foldPiece(text.sliced(i, length).toString());
        for (qsizetype k = 0; k < piece.size(); ++k) {
            folded.origin.append(FoundText{static_cast<int>(i), static_cast<int>(i + length)});
        }
        folded.text += piece;
        i += length;
    }
    return folded;
}

} // namespace

QString linkAt(QStringView line, int position) {
    static const QRegularExpression address(u"(?:https?://|mailto:)[^\\s<>\"「」『』（）、。]+"_s,
                                            QRegularExpression::CaseInsensitiveOption);
    for (QRegularExpressionMatchIterator it = address.globalMatch(line); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QStringView link = match.capturedView();
        while (!link.isEmpty() && QStringView(u".,;:!?)]'").contains(link.back())) {
            link.chop(1);
        }
        if (position >= match.capturedStart() && position < match.capturedStart() + link.size()) {
            return link.toString();
        }
    }
    return {};
}

std::optional<FoundText> findInLog(QStringView text, QStringView needle, int from, bool backward) {
    const QString wanted = foldPiece(needle.toString());
    if (wanted.isEmpty()) {
        return std::nullopt;
    }
    const Folded folded = fold(text);
    QList<FoundText> found;
    for (qsizetype at = folded.text.indexOf(wanted); at >= 0; at = folded.text.indexOf(wanted, at + 1)) {
        const FoundText match{folded.origin.at(at).start, folded.origin.at(at + wanted.size() - 1).end};
        // A match that begins or ends inside one original character is no match.
        if ((at == 0 || folded.origin.at(at - 1).start != match.start) &&
            (at + wanted.size() == folded.text.size() || folded.origin.at(at + wanted.size()).start == match.end)) {
            found.append(match);
        }
    }
    if (found.isEmpty()) {
        return std::nullopt;
    }
    if (backward) {
        for (auto it = found.crbegin(); it != found.crend(); ++it) {
            if (it->end <= from) {
                return *it;
            }
        }
        return found.last();
    }
    for (const FoundText& match : found) {
        if (match.start >= from) {
            return match;
        }
    }
    return found.first();
}

} // namespace window
