#pragma once

#include "window/LogSearch.h"

#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace window {

// A small bar over the top right of the log that finds text in it as it is typed
// (see findInLog). Hidden until opened, so the window looks as designed without it.
// Enter and F3 find the next occurrence, Shift+Enter and Shift+F3 the previous one;
// Esc closes the bar and gives the focus to `focusAfter`.
//
// Given the whole session (setWholeSession), it finds in that: the box holds only its
// newest part, so an occurrence in the lines before it cannot be selected there and
// its line is shown under the field instead.
class FindBar : public QWidget {
    Q_OBJECT

public:
    FindBar(QPlainTextEdit* log, QWidget* focusAfter);

    void open();
    void close();
    // Selects the next (or previous) occurrence in the log; false when there is none.
    bool findNext(bool backward = false);
    QLineEdit* field() const { return m_field; }
    // The whole session as the box would show it (LF line breaks), of which the box
    // holds the end.
    void setWholeSession(std::function<QString()> text) { m_wholeSession = std::move(text); }
    // The line of an occurrence before what the box holds, as shown; empty otherwise.
    QString earlierLine() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What is searched, and where in it the box's text begins.
    struct Searched {
        QString text;
        int boxStart = 0;
    };
    Searched searched() const;
    int findFrom(const Searched& searched, bool backward, bool restart) const;
    void place();
    bool find(bool backward, bool restart);

    QPlainTextEdit* m_log;
    QWidget* m_focusAfter;
    QLineEdit* m_field;
    QLabel* m_earlier;
    std::function<QString()> m_wholeSession;
    // An occurrence before the box's text, in the whole session's positions.
    std::optional<FoundText> m_earlierMatch;
};

} // namespace window
