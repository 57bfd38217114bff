#include "setup/JapaneseMessageBox.h"

#include "setup/JapaneseFont.h"

#include <QMessageBox>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace setup {

namespace {

void prepare(QMessageBox& box, const QString& text, const QString& title) {
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(title.isEmpty() ? JapaneseMessageBox::kProgramTitle : title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    box.setFont(japaneseUiFont());
}

} // namespace

void JapaneseMessageBox::showOk(const QString& text, const QString& title, QWidget* parent) {
    QMessageBox box(parent);
    prepare(box, text, title);
    QPushButton* ok = box.addButton(u"OK"_s, QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

bool JapaneseMessageBox::askYesNo(const QString& text, const QString& title, QWidget* parent, Default defaultButton) {
    QMessageBox box(parent);
    prepare(box, text, title);
    QPushButton* yes = box.addButton(u"はい(&Y)"_s, QMessageBox::YesRole);
    QPushButton* no = box.addButton(u"いいえ(&N)"_s, QMessageBox::NoRole);
    box.setDefaultButton(defaultButton == Default::Yes ? yes : no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

} // namespace setup
