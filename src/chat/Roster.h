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
    void append(const session::PlayerEntry& entry);

    int selectedIndex() const { return m_selected; }
    // An index outside the list selects nothing.
    void setSelectedIndex(int index);
    const session::PlayerEntry* selectedEntry() const;

    // The name of the first entry, from the top, with this id; empty when none has it.
    QString nameOf(session::PlayerId id) const;

Q_SIGNALS:
    void entriesChanged();
    void selectionChanged(int index);

private:
    QList<session::PlayerEntry> m_entries;
    int m_selected = -1;
};

} // namespace chat
