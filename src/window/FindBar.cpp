#include "window/FindBar.h"

#include "window/LogSearch.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace window {

namespace {
constexpr int kWidthPixels = 180;
constexpr int kMarginPixels = 2;
} // namespace

FindBar::FindBar(QPlainTextEdit* log, QWidget* focusAfter)
    : QWidget(log), m_log(log), m_focusAfter(focusAfter), m_field(new QLineEdit(this)), m_earlier(new QLabel(this)) {
    setObjectName(u"findBar"_s);
    m_field->setObjectName(u"txtFind"_s);
    m_field->setPlaceholderText(u"ログを検索"_s);
    m_field->setClearButtonEnabled(true);
    m_earlier->setObjectName(u"lblFindEarlier"_s);
    m_earlier->setAutoFillBackground(true);
    m_earlier->setWordWrap(true);
    m_earlier->setTextFormat(Qt::PlainText);
    m_earlier->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_field);
    layout->addWidget(m_earlier);
    m_field->installEventFilter(this);
    m_log->installEventFilter(this);
    // Typing finds from where the last find began, so the match grows in place.
    connect(m_field, &QLineEdit::textEdited, this, [this] { find(false, true); });
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
    m_earlierMatch.reset();
    m_earlier->hide();
    if (m_focusAfter) {
        m_focusAfter->setFocus();
    }
}

bool FindBar::findNext(bool backward) {
    return find(backward, false);
}

QString FindBar::earlierLine() const {
    return m_earlierMatch ? m_earlier->text() : QString();
}

FindBar::Searched FindBar::searched() const {
    // The box holds the log with one block per line; its raw text has the same
    // positions as the document.
    QString box = m_log->document()->toRawText();
    box.replace(QChar::ParagraphSeparator, u'\n');
    if (m_wholeSession) {
        QString whole = m_wholeSession();
        if (whole.size() > box.size() && whole.endsWith(box)) {
            const auto boxStart = static_cast<int>(whole.size() - box.size());
            return {std::move(whole), boxStart};
        }
    }
    return {std::move(box), 0};
}

int FindBar::findFrom(const Searched& searched, bool backward, bool restart) const {
    const QTextCursor current = m_log->textCursor();
    if (m_earlierMatch && !current.hasSelection()) {
        return restart || backward ? m_earlierMatch->start : m_earlierMatch->end;
    }
    if (restart) {
        return searched.boxStart + (current.hasSelection() ? current.selectionStart() : 0);
    }
    return searched.boxStart + (backward ? current.selectionStart() : current.selectionEnd());
}

bool FindBar::find(bool backward, bool restart) {
    const Searched searched = this->searched();
    const int from = std::clamp(findFrom(searched, backward, restart), 0, static_cast<int>(searched.text.size()));
    const std::optional<FoundText> found = findInLog(searched.text, m_field->text(), from, backward);
    if (!found) {
        return false;
    }
    if (found->start < searched.boxStart) {
        // Only the line it stands on can be shown.
        const qsizetype lineStart = searched.text.lastIndexOf(u'\n', found->start) + 1;
        const qsizetype lineEnd = searched.text.indexOf(u'\n', found->start);
        const QString line = searched.text.mid(lineStart, lineEnd < 0 ? -1 : lineEnd - lineStart);
        m_earlierMatch = found;
        QTextCursor none = m_log->textCursor();
        none.clearSelection();
        m_log->setTextCursor(none);
        m_earlier->setText(u"ログ欄より前の行: "_s + line);
        m_earlier->show();
        place();
        return true;
    }
    m_earlierMatch.reset();
    if (m_earlier->isVisible()) {
        m_earlier->hide();
        place();
    }
    QTextCursor cursor(m_log->document());
    cursor.setPosition(found->start - searched.boxStart);
    cursor.setPosition(found->end - searched.boxStart, QTextCursor::KeepAnchor);
    m_log->setTextCursor(cursor);
    m_log->ensureCursorVisible();
    return true;
}

void FindBar::place() {
    const int width = std::min(kWidthPixels, m_log->viewport()->width() - 2 * kMarginPixels);
    int height = m_field->sizeHint().height();
    if (m_earlier->isVisibleTo(this)) {
        height += m_earlier->heightForWidth(width);
    }
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
