#include "window/EntryBox.h"

#include <QInputMethodEvent>
#include <QMimeData>

namespace window {

EntryBox::EntryBox(QWidget* parent) : QPlainTextEdit(parent) {}

bool EntryBox::canInsertFromMimeData(const QMimeData* source) const {
    return source != nullptr && source->hasText();
}

void EntryBox::insertFromMimeData(const QMimeData* source) {
    // The text control's own insertion crashes on clipboard contents without any
    // format, which is what the desktop hands over when nothing owns the clipboard.
    if (!canInsertFromMimeData(source)) {
        return;
    }
    const QString text = source->text();
    if (!text.isEmpty()) {
        insertPlainText(text);
        ensureCursorVisible();
    }
}

void EntryBox::inputMethodEvent(QInputMethodEvent* event) {
    int cursor = static_cast<int>(event->preeditString().size());
    for (const QInputMethodEvent::Attribute& attribute : event->attributes()) {
        if (attribute.type == QInputMethodEvent::Cursor) {
            cursor = attribute.start;
        }
    }
    m_preeditCursor = event->preeditString().isEmpty() ? 0 : cursor;
    QPlainTextEdit::inputMethodEvent(event);
    Q_EMIT preeditChanged();
}

} // namespace window
