#include "setup/NameValidator.h"

#include <QLineEdit>

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
        // as a length-limited entry does with a long paste. A character made of two
        // code units that does not fit whole goes whole: half of one would be stored
        // as "?" and differ between copies.
        qsizetype cut = pos - excess;
        if (cut > 0 && cut < input.size() && input.at(cut).isLowSurrogate() && input.at(cut - 1).isHighSurrogate()) {
            --cut;
        }
        if (cut < 0) {
            return Invalid;
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
