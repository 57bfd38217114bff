#include "session/net/SocketSend.h"

#include <algorithm>
#include <cerrno>
#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

namespace session {

namespace {
constexpr qint64 kCoalesceLimit = 64 * 1024;
}

qint64 sendNow(int descriptor, const QList<QByteArray>& pieces) {
    if (descriptor < 0 || pieces.isEmpty()) {
        return 0;
    }
    // Many small frames cost the kernel more one by one than copied together first.
    qint64 total = 0;
    for (const QByteArray& piece : pieces) {
        total += piece.size();
    }
    if (pieces.size() > 1 && total <= kCoalesceLimit) {
        thread_local std::vector<char> joined;
        joined.resize(static_cast<std::size_t>(total));
        char* at = joined.data();
        for (const QByteArray& piece : pieces) {
            at = std::copy(piece.constData(), piece.constData() + piece.size(), at);
        }
        for (;;) {
            const ssize_t written =
                ::send(descriptor, joined.data(), static_cast<size_t>(total), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return written > 0 ? written : 0;
        }
    }
    constexpr int kBatch = 256; // well under IOV_MAX
    iovec vectors[kBatch];
    qint64 sent = 0;
    qsizetype first = 0;  // the first piece not yet sent whole
    qsizetype offset = 0; // bytes of it already sent
    while (first < pieces.size()) {
        int count = 0;
        for (qsizetype i = first; i < pieces.size() && count < kBatch; ++i) {
            const qsizetype skip = i == first ? offset : 0;
            vectors[count].iov_base = const_cast<char*>(pieces.at(i).constData() + skip);
            vectors[count].iov_len = static_cast<size_t>(pieces.at(i).size() - skip);
            ++count;
        }
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t written = ::sendmsg(descriptor, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // Full (the socket's own buffer takes the rest) or broken (the socket finds
            // out on its own next write and reports it as usual).
            break;
        }
        sent += written;
        qint64 left = written;
        while (left > 0) {
            const qint64 rest = pieces.at(first).size() - offset;
            if (left >= rest) {
                left -= rest;
                ++first;
                offset = 0;
            } else {
                offset += left;
                left = 0;
            }
        }
        if (offset > 0) {
            break; // the kernel took only part: it is full
        }
    }
    return sent;
}

} // namespace session
