#pragma once

#include <QValidator>

class QLineEdit;

namespace setup {

// Keeps a name entry free of control characters (a pasted line break would end up in
// the settings file and in other members' lists) and limits what the user types to
// `maxTyped` UTF-16 code units, cut only between user-perceived characters (grapheme
// clusters). A longer text put there by the program is left whole: the limit only
// stops the text from growing past it.
class NameValidator : public QValidator {
    Q_OBJECT

public:
    NameValidator(QLineEdit* edit, int maxTyped);

    State validate(QString& input, int& pos) const override;

    // Sets the entry's text as the program: control characters go, the length stays.
    static void setProgramText(QLineEdit* edit, const QString& text);

private:
    int m_maxTyped;
    // Length of the entry's text before the edit being validated (the entry already
    // holds the new text while it asks).
    qsizetype m_lengthBefore = 0;
};

// `text` without control characters.
QString withoutControlCharacters(QString text);

} // namespace setup
