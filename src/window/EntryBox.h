#pragma once

#include <QPlainTextEdit>

class QInputMethodEvent;
class QMimeData;

namespace window {

// The chat window's entry. It takes only text from the clipboard or a drop: what
// holds no text (an empty clipboard, whose owner is gone or never was; a picture)
// inserts nothing, and rich text goes in as its plain text. It also tells where an
// input method's cursor stands inside the word being composed, so the window can
// keep that line in sight.
class EntryBox : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit EntryBox(QWidget* parent = nullptr);

    // Offset of the input method's cursor inside the composed word; 0 when nothing
    // is being composed.
    int preeditCursor() const { return m_preeditCursor; }

Q_SIGNALS:
    // After an input method changed what is being composed.
    void preeditChanged();

protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    void inputMethodEvent(QInputMethodEvent* event) override;

private:
    int m_preeditCursor = 0;
};

} // namespace window
