#pragma once

#include <QString>

class QWidget;

namespace setup {

// The program's message boxes: no icon, only the buttons asked for, Japanese button
// texts, and the program's title unless another one is given. They are modal and
// return when the user has answered.
class JapaneseMessageBox {
public:
    static inline const QString kProgramTitle = QStringLiteral("Mirelune");

    static void showOk(const QString& text, const QString& title = {}, QWidget* parent = nullptr);
    // True for Yes ("はい(&Y)"), false for No ("いいえ(&N)") or when the box is closed.
    static bool askYesNo(const QString& text, const QString& title = {}, QWidget* parent = nullptr);
};

} // namespace setup
