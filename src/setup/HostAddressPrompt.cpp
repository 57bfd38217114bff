#include "setup/HostAddressPrompt.h"

#include "setup/JapaneseFont.h"
#include "setup/JapaneseMessageBox.h"
#include "setup/basGlobal.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace setup {

std::optional<QString> askHostAddress() {
    QInputDialog dialog(QApplication::activeWindow());
    dialog.setObjectName(u"dlgHostAddress"_s);
    dialog.setWindowTitle(JapaneseMessageBox::kProgramTitle);
    dialog.setFont(japaneseUiFont());
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(u"接続先のホストを入力してください（ホスト名、またはホスト名:ポート番号）"_s);
    dialog.setTextValue(basGlobal::lastHostAddress());
    dialog.setOkButtonText(u"OK"_s);
    dialog.setCancelButtonText(u"キャンセル"_s);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    QString address = dialog.textValue().trimmed();
    address.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (address.isEmpty()) {
        return std::nullopt;
    }
    basGlobal::writeSetting(u"Address"_s, address);
    return address;
}

} // namespace setup
