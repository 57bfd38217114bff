#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <optional>

namespace testsupport {

struct SeenBox {
    QString title, text;
    QStringList buttons;
    bool hasIcon = false;
    bool operator==(const SeenBox&) const = default;
};

// Answers the modal boxes while the code under test waits for the user: each message
// box by clicking the button captioned with the next of `answers` (Enter for an empty
// one, the first button once they run out; rejected when no button has that caption),
// recording what it showed; the address dialog with `address`, or cancelled.
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
        for (const SeenBox& box : boxes)
            texts.append(box.text);
        return texts;
    }

private:
    void answer() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
            SeenBox seen{box->windowTitle(), box->text(), {}, box->icon() != QMessageBox::NoIcon};
            for (QAbstractButton* button : box->buttons())
                seen.buttons.append(button->text());
            boxes.append(seen);
            if (m_answers.isEmpty())
                return box->buttons().constFirst()->click();
            const QString wanted = m_answers.takeFirst();
            if (wanted.isEmpty())
                return QTest::keyClick(box, Qt::Key_Return);
            for (QAbstractButton* button : box->buttons())
                if (button->text() == wanted)
                    return button->click();
            box->reject();
        } else if (auto* dialog = qobject_cast<QInputDialog*>(modal); dialog != nullptr && dialog->isVisible()) {
            offeredAddresses.append(dialog->textValue());
            if (address)
                dialog->setTextValue(*address);
            address ? dialog->accept() : dialog->reject();
        }
    }

    QStringList m_answers;
    QTimer m_timer;
};

} // namespace testsupport
