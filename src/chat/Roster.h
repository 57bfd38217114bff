#pragma once

#include "session/SessionTypes.h"

#include <QList>
#include <QObject>

namespace chat {

// The room's members as the session lists them (the local player among them), each
// a handle name with its player id, and which entry is selected (-1: none).
class Roster : public QObject {
    Q_OBJECT

public:
    explicit Roster(QObject* parent = nullptr) : QObject(parent) {}

    int count() const { return static_cast<int>(m_entries.size()); }
    const QList<session::PlayerEntry>& entries() const { return m_entries; }
    const session::PlayerEntry& entry(int index) const { return m_entries.at(index); }

    // Empties the list; the selection goes with it.
    void clear();
    // Replaces the whole list with `entries`, in their order; nothing stays selected.
    // Only the rows that differ are reported, so a join or a leave in a large room
    // costs its viewers one row, not the whole list.
    void assign(const QList<session::PlayerEntry>& entries);

    int selectedIndex() const { return m_selected; }
    // An index outside the list selects nothing.
    void setSelectedIndex(int index);
    const session::PlayerEntry* selectedEntry() const;

    // The name of the first entry, from the top, with this id; empty when none has it.
    QString nameOf(session::PlayerId id) const;

Q_SIGNALS:
    void entriesChanged();
    // Rows `first` to `first` + `removed` - 1 of the old list were replaced by
    // `inserted` new ones (entries `first` to `first` + `inserted` - 1); the rows
    // before and after stayed, and nothing is selected any more. Emitted before
    // entriesChanged.
    void rowsReplaced(int first, int removed, int inserted);
    void selectionChanged(int index);

private:
    QList<session::PlayerEntry> m_entries;
    int m_selected = -1;
};

} // namespace chat
