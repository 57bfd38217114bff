#include "platform/LoginName.h"

#include <QByteArray>
#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

std::optional<QString> loginNameFromBytes(QByteArrayView name) {
    if (name.isEmpty())
        return std::nullopt;
    QString text = QString::fromUtf8(name);
    if (text.size() > kMaxLoginNameLength)
        return std::nullopt;
    return text;
}

std::optional<QString> loginName() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        const int error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_name == nullptr)
            return std::nullopt;
        return loginNameFromBytes(QByteArrayView(found->pw_name));
    }
}

} // namespace platform
