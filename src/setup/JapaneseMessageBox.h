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
    enum class Default { Yes, No };

    // True for Yes ("はい(&Y)"), false for No ("いいえ(&N)") or when the box is closed.
    // `defaultButton` is the answer Enter gives; a question whose Yes loses data
    // makes No the default.
    static bool askYesNo(const QString& text, const QString& title = {}, QWidget* parent = nullptr,
                         Default defaultButton = Default::Yes);
};

} // namespace setup
