#include "chat/Roster.h"

namespace chat {

namespace {

bool sameEntry(const session::PlayerEntry& a, const session::PlayerEntry& b) {
    return a.id == b.id && a.name == b.name;
}

} // namespace

void Roster::clear() {
    assign({});
}

void Roster::assign(const QList<session::PlayerEntry>& entries) {
    const bool hadSelection = m_selected >= 0;
    const qsizetype oldCount = m_entries.size();
    const qsizetype newCount = entries.size();
    qsizetype first = 0;
    while (first < oldCount && first < newCount && sameEntry(m_entries.at(first), entries.at(first))) {
        ++first;
    }
    qsizetype kept = 0;
    while (kept < oldCount - first && kept < newCount - first &&
           sameEntry(m_entries.at(oldCount - 1 - kept), entries.at(newCount - 1 - kept))) {
        ++kept;
    }
    m_entries = entries;
    m_selected = -1;
    const qsizetype removed = oldCount - first - kept;
    const qsizetype inserted = newCount - first - kept;
    if (removed > 0 || inserted > 0) {
        Q_EMIT rowsReplaced(static_cast<int>(first), static_cast<int>(removed), static_cast<int>(inserted));
    }
    Q_EMIT entriesChanged();
    if (hadSelection) {
        Q_EMIT selectionChanged(-1);
    }
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
