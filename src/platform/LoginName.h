#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace platform {

// The longest login name that is used; a longer one counts as unreadable.
inline constexpr qsizetype kMaxLoginNameLength = 98;

// The name of the effective user from the password database (never from environment
// variables). Nothing when the entry cannot be read, the name is empty or it has more
// than kMaxLoginNameLength characters; the caller then keeps its own default.
std::optional<QString> loginName();

// The check applied to a name as stored in the password database (bytes in the
// locale's encoding, UTF-8).
std::optional<QString> loginNameFromBytes(QByteArrayView name);

} // namespace platform
