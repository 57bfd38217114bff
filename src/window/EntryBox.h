#pragma once

#include <QPlainTextEdit>

class QImage;
class QInputMethodEvent;
class QMimeData;

namespace window {

// The chat window's entry. It takes text from the clipboard or a drop, rich text as
// its plain text; files and pictures it hands to the window instead (filesGiven,
// pictureGiven), which offers them to the room. What holds neither (an empty
// clipboard, whose owner is gone or never was) inserts nothing. It also tells where
// an input method's cursor stands inside the word being composed, so the window can
// keep that line in sight.
class EntryBox : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit EntryBox(QWidget* parent = nullptr);

    // The local files a clipboard or a drop holds; empty when it holds none.
    static QStringList localFiles(const QMimeData* source);

    // Offset of the input method's cursor inside the composed word; 0 when nothing
    // is being composed.
    int preeditCursor() const { return m_preeditCursor; }

Q_SIGNALS:
    // After an input method changed what is being composed.
    void preeditChanged();
    // Files pasted or dropped on the entry (local files only), and a pasted picture.
    void filesGiven(const QStringList& paths);
    void pictureGiven(const QImage& picture);

protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    void inputMethodEvent(QInputMethodEvent* event) override;

private:
    int m_preeditCursor = 0;
};

} // namespace window
