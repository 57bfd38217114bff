#include "setup/HostAddressPrompt.h"

#include "setup/JapaneseFont.h"
#include "setup/JapaneseMessageBox.h"
#include "setup/basGlobal.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <functional>

using namespace Qt::StringLiterals;

namespace setup {

namespace {

std::optional<QString> askAddress(const QString& objectName, const QString& label,
                                  const std::function<void(const QString&)>& remember, const QString& last) {
    QInputDialog dialog(QApplication::activeWindow());
    dialog.setObjectName(objectName);
    dialog.setWindowTitle(JapaneseMessageBox::kProgramTitle);
    dialog.setFont(japaneseUiFont());
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(label);
    dialog.setTextValue(last);
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
    remember(address);
    return address;
}

} // namespace

std::optional<QString> askHostAddress() {
    return askAddress(
        u"dlgHostAddress"_s, u"接続先のホストを入力してください（ホスト名、またはホスト名:ポート番号）"_s,
        [](const QString& address) { basGlobal::writeSetting(u"Address"_s, address); }, basGlobal::lastHostAddress());
}

std::optional<QString> askNatsServers() {
    return askAddress(u"dlgNatsServers"_s,
                      u"NATS サーバーを入力してください（nats://ホスト名:ポート番号、複数はカンマ区切り）"_s,
                      basGlobal::rememberNatsServers, basGlobal::lastNatsServers());
}

} // namespace setup
