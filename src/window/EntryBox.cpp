#include "window/EntryBox.h"

#include <QFileInfo>
#include <QImage>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QUrl>

namespace window {

EntryBox::EntryBox(QWidget* parent) : QPlainTextEdit(parent) {}

QStringList EntryBox::localFiles(const QMimeData* source) {
    QStringList paths;
    if (source == nullptr || !source->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : source->urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) {
            paths.append(url.toLocalFile());
        }
    }
    return paths;
}

bool EntryBox::canInsertFromMimeData(const QMimeData* source) const {
    return source != nullptr && (source->hasText() || source->hasImage() || !localFiles(source).isEmpty());
}

void EntryBox::insertFromMimeData(const QMimeData* source) {
    // The text control's own insertion crashes on clipboard contents without any
    // format, which is what the desktop hands over when nothing owns the clipboard.
    if (!canInsertFromMimeData(source)) {
        return;
    }
    // A file copied in a file manager comes with its path as text as well: the file is
    // what the user means.
    if (const QStringList files = localFiles(source); !files.isEmpty()) {
        Q_EMIT filesGiven(files);
        return;
    }
    if (source->hasImage() && !source->hasText()) {
        const QImage picture = qvariant_cast<QImage>(source->imageData());
        if (!picture.isNull()) {
            Q_EMIT pictureGiven(picture);
        }
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
