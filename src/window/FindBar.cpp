#include "window/FindBar.h"

#include "window/LogSearch.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>

using namespace Qt::StringLiterals;

namespace window {

namespace {
constexpr int kWidthPixels = 180;
constexpr int kMarginPixels = 2;
} // namespace

FindBar::FindBar(QPlainTextEdit* log, QWidget* focusAfter)
    : QWidget(log), m_log(log), m_focusAfter(focusAfter), m_field(new QLineEdit(this)) {
    setObjectName(u"findBar"_s);
    m_field->setObjectName(u"txtFind"_s);
    m_field->setPlaceholderText(u"ログを検索"_s);
    m_field->setClearButtonEnabled(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_field);
    m_field->installEventFilter(this);
    m_log->installEventFilter(this);
    // Typing finds from where the last find began, so the match grows in place.
    connect(m_field, &QLineEdit::textEdited, this, [this] {
        const QTextCursor current = m_log->textCursor();
        find(current.hasSelection() ? current.selectionStart() : 0, false);
    });
    hide();
}

void FindBar::open() {
    place();
    show();
    raise();
    m_field->setFocus();
    m_field->selectAll();
}

void FindBar::close() {
    hide();
    if (m_focusAfter) {
        m_focusAfter->setFocus();
    }
}

bool FindBar::findNext(bool backward) {
    const QTextCursor current = m_log->textCursor();
    return find(backward ? current.selectionStart() : current.selectionEnd(), backward);
}

bool FindBar::find(int from, bool backward) {
    // The box holds the log with one line break per line end.
    const QString text = m_log->document()->toPlainText();
    const std::optional<FoundText> found = findInLog(text, m_field->text(), from, backward);
    if (!found) {
        return false;
    }
    QTextCursor cursor(m_log->document());
    cursor.setPosition(found->start);
    cursor.setPosition(found->end, QTextCursor::KeepAnchor);
    m_log->setTextCursor(cursor);
    m_log->ensureCursorVisible();
    return true;
}

void FindBar::place() {
    const int height = m_field->sizeHint().height();
    const int width = std::min(kWidthPixels, m_log->viewport()->width() - 2 * kMarginPixels);
    setGeometry(m_log->viewport()->width() - width - kMarginPixels, kMarginPixels, width, height);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_log && event->type() == QEvent::Resize && isVisible()) {
        place();
    } else if (watched == m_field && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        switch (key->key()) {
        case Qt::Key_Escape:
            close();
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F3:
            findNext(shift);
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace window
