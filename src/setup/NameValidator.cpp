#include "setup/NameValidator.h"

#include <QLineEdit>
#include <QTextBoundaryFinder>
#include <algorithm>

namespace setup {

namespace {

bool isControl(QChar c) {
    return c.category() == QChar::Other_Control;
}

} // namespace

QString withoutControlCharacters(QString text) {
    text.removeIf(isControl);
    return text;
}

NameValidator::NameValidator(QLineEdit* edit, int maxTyped)
    : QValidator(edit), m_maxTyped(maxTyped), m_lengthBefore(edit->text().size()) {
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_lengthBefore = text.size(); });
}

QValidator::State NameValidator::validate(QString& input, int& pos) const {
    for (qsizetype i = input.size() - 1; i >= 0; --i) {
        if (isControl(input.at(i))) {
            input.remove(i, 1);
            if (i < pos) {
                --pos;
            }
        }
    }
    // The new text may be as long as the limit, or as long as the text before this
    // edit when the program put more there.
    const qsizetype allowed = std::max<qsizetype>(m_maxTyped, m_lengthBefore);
    const qsizetype excess = input.size() - allowed;
    if (excess > 0) {
        // Drop the end of what was just inserted, which lies right before the cursor,
        // as a length-limited entry does with a long paste. A character that does not
        // fit whole goes whole, as the user sees it: a flag, an emoji with its skin
        // tone or joined parts, a letter with its combining marks. Half of one would be
        // stored and shown on every copy as another character, or as "?".
        qsizetype cut = pos - excess;
        if (cut < 0) {
            return Invalid;
        }
        QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, input);
        clusters.setPosition(cut);
        if (!clusters.isAtBoundary()) {
            cut = std::max<qsizetype>(clusters.toPreviousBoundary(), 0);
        }
        input.remove(cut, pos - cut);
        pos = static_cast<int>(cut);
    }
    return Acceptable;
}

void NameValidator::setProgramText(QLineEdit* edit, const QString& text) {
    const QValidator* validator = edit->validator();
    edit->setValidator(nullptr);
    edit->setText(withoutControlCharacters(text));
    edit->setValidator(validator);
}

} // namespace setup
