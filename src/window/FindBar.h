#pragma once

#include <QWidget>

class QLineEdit;
class QPlainTextEdit;

namespace window {

// A small bar over the top right of the log that finds text in it as it is typed
// (see findInLog). Hidden until opened, so the window looks as designed without it.
// Enter and F3 find the next occurrence, Shift+Enter and Shift+F3 the previous one;
// Esc closes the bar and gives the focus to `focusAfter`.
class FindBar : public QWidget {
    Q_OBJECT

public:
    FindBar(QPlainTextEdit* log, QWidget* focusAfter);

    void open();
    void close();
    // Selects the next (or previous) occurrence in the log; false when there is none.
    bool findNext(bool backward = false);
    QLineEdit* field() const { return m_field; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();
    bool find(int from, bool backward);

    QPlainTextEdit* m_log;
    QWidget* m_focusAfter;
    QLineEdit* m_field;
};

} // namespace window
