#include "chat/Roster.h"

namespace chat {

void Roster::clear() {
    const bool hadSelection = m_selected >= 0;
    m_entries.clear();
    m_selected = -1;
    Q_EMIT entriesChanged();
    if (hadSelection) {
        Q_EMIT selectionChanged(-1);
    }
}

void Roster::append(const session::PlayerEntry& entry) {
    m_entries.append(entry);
    Q_EMIT entriesChanged();
}

void Roster::setSelectedIndex(int index) {
    const int selected = (index >= 0 && index < count()) ? index : -1;
    if (selected == m_selected) {
        return;
    }
    m_selected = selected;
    Q_EMIT selectionChanged(m_selected);
}

const session::PlayerEntry* Roster::selectedEntry() const {
    return m_selected >= 0 ? &m_entries.at(m_selected) : nullptr;
}

QString Roster::nameOf(session::PlayerId id) const {
    for (const session::PlayerEntry& entry : m_entries) {
        if (entry.id == id) {
            return entry.name;
        }
    }
    return QString();
}

} // namespace chat
