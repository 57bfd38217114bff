#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <optional>

namespace testsupport {

// A message box as the user saw it.
struct SeenBox {
    QString title;
    QString text;
    QStringList buttons;
    bool hasIcon = false;
    bool parentVisible = false;
};

// Answers the modal message boxes while the code under test waits for the user: in
// order, by clicking the button with the next caption of `answers` (the first button
// once they run out; no button of that caption rejects the box), and records each.
// The address dialog is answered with `address`, or cancelled.
class BoxAnswerer {
public:
    explicit BoxAnswerer(QStringList answers = {}) : m_answers(std::move(answers)) {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { answer(); });
        m_timer.start(5);
    }

    QList<SeenBox> boxes;
    std::optional<QString> address;
    QStringList offeredAddresses;

    QStringList seenTexts() const {
        QStringList texts;
        for (const SeenBox& box : boxes) {
            texts.append(box.text);
        }
        return texts;
    }

private:
    void answer() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
            SeenBox seen{box->windowTitle(),
                         box->text(),
                         {},
                         box->icon() != QMessageBox::NoIcon,
                         box->parentWidget() != nullptr && box->parentWidget()->isVisible()};
            for (QAbstractButton* button : box->buttons()) {
                seen.buttons.append(button->text());
            }
            boxes.append(seen);
            const QString wanted = m_answers.isEmpty() ? QString() : m_answers.takeFirst();
            for (QAbstractButton* button : box->buttons()) {
                if (wanted.isEmpty() || button->text() == wanted) {
                    button->click();
                    return;
                }
            }
            box->reject();
        } else if (auto* dialog = qobject_cast<QInputDialog*>(modal); dialog != nullptr && dialog->isVisible()) {
            offeredAddresses.append(dialog->textValue());
            if (address) {
                dialog->setTextValue(*address);
                dialog->accept();
            } else {
                dialog->reject();
            }
        }
    }

    QStringList m_answers;
    QTimer m_timer;
};

} // namespace testsupport
