// mirelune-relay: the least a relay of length-prefixed frames can do on this machine,
// as a yardstick for the room host. One thread, one epoll set: every complete frame a
// connection sends is queued on every other connection, and each connection's queue
// is written once per turn. A new connection is greeted with an empty frame once it
// is taken in, so a client knows from when on it receives.
//
//   mirelune-relay PORT
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Connection {
    int fd = -1;
    std::string in;
    std::string out;
    std::size_t outPos = 0;
    bool writeArmed = false;
    bool dirty = false;
};

std::vector<Connection*> g_connections;
std::vector<Connection*> g_dirty;
int g_epoll = -1;

void markDirty(Connection* connection) {
    if (!connection->dirty) {
        connection->dirty = true;
        g_dirty.push_back(connection);
    }
}

void closeConnection(Connection* connection) {
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, connection->fd, nullptr);
    close(connection->fd);
    connection->fd = -1;
    std::erase(g_connections, connection);
}

void flush(Connection* connection) {
    connection->dirty = false;
    if (connection->fd < 0) {
        return;
    }
    while (connection->outPos < connection->out.size()) {
        const ssize_t written = send(connection->fd, connection->out.data() + connection->outPos,
                                     connection->out.size() - connection->outPos, MSG_NOSIGNAL);
        if (written > 0) {
            connection->outPos += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    const bool pending = connection->outPos < connection->out.size();
    if (!pending) {
        connection->out.clear();
        connection->outPos = 0;
    }
    if (pending != connection->writeArmed) {
        epoll_event event{};
        event.events = EPOLLIN | (pending ? EPOLLOUT : 0u);
        event.data.ptr = connection;
        epoll_ctl(g_epoll, EPOLL_CTL_MOD, connection->fd, &event);
        connection->writeArmed = pending;
    }
}

void onReadable(Connection* connection, std::vector<char>& buffer) {
    const ssize_t got = recv(connection->fd, buffer.data(), buffer.size(), 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        closeConnection(connection);
        return;
    }
    if (got < 0) {
        return;
    }
    connection->in.append(buffer.data(), static_cast<std::size_t>(got));
    // Every complete frame at the front goes out as one block to everybody else.
    std::size_t end = 0;
    while (connection->in.size() - end >= 4) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(connection->in.data() + end);
        const std::uint32_t length = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                     (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
        if (length > 1024 * 1024) {
            closeConnection(connection);
            return;
        }
        if (connection->in.size() - end - 4 < length) {
            break;
        }
        end += 4 + length;
    }
    if (end == 0) {
        return;
    }
    for (Connection* other : g_connections) {
        if (other != connection) {
            other->out.append(connection->in.data(), end);
            markDirty(other);
        }
    }
    connection->in.erase(0, end);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mirelune-relay PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1024) != 0) {
        std::perror("mirelune-relay: listen");
        return 1;
    }
    g_epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.ptr = nullptr;
    epoll_ctl(g_epoll, EPOLL_CTL_ADD, listener, &listenEvent);

    std::vector<char> buffer(256 * 1024);
    epoll_event events[256];
    for (;;) {
        const int ready = epoll_wait(g_epoll, events, 256, -1);
        for (int i = 0; i < ready; ++i) {
            auto* connection = static_cast<Connection*>(events[i].data.ptr);
            if (connection == nullptr) {
                for (;;) {
                    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0) {
                        break;
                    }
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    auto* accepted = new Connection{fd, {}, {}, 0, false, false};
                    g_connections.push_back(accepted);
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.ptr = accepted;
                    epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &event);
                    accepted->out.append(4, '\0');
                    markDirty(accepted);
                }
                continue;
            }
            if (connection->fd < 0) {
                continue;
            }
            if (events[i].events & EPOLLOUT) {
                markDirty(connection);
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                onReadable(connection, buffer);
            }
        }
        for (Connection* connection : g_dirty) {
            flush(connection);
        }
        g_dirty.clear();
    }
}
