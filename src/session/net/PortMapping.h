#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <thread>

namespace session {

// What the router said about forwarding a hosted room's port.
struct PortMappingState {
    enum class Stage {
        Off,    // nobody asked
        Asking, // looking for the router, or waiting for its answer
        Mapped, // the router forwards externalAddress:externalPort to the room
        Failed, // no mapping; `reason` says why
    };
    Stage stage = Stage::Off;
    QString externalAddress;
    quint16 externalPort = 0;
    QString reason; // English, for the log and the room tool
    // The same in Japanese, for the room tool's diagnosis; only when the router
    // search failed (empty for a refused mapping).
    QString japaneseReason;
    // From asking to the answer, discovery included.
    std::chrono::milliseconds took{0};
};

// What looking for the router found, without asking it for anything: its public
// address, or why it cannot forward a room (then `publicAddress` is empty). Blocks
// for the discovery time and the router's answers: never on the user-interface thread.
struct RouterProbe {
    QString publicAddress;
    QString reason;         // English
    QString japaneseReason; // the same in Japanese
};
RouterProbe probeRouter(std::chrono::milliseconds discoveryTime);

// Asks the router for a TCP port mapping to a hosted room over UPnP-IGD, and
// removes it again.
//
// Finding the router takes up to `discoveryTime` and every request to it may wait
// for the network, so all of it runs on a thread of its own; the owner's thread
// only hears the result (the signal `changed`, queued). A refused mapping or a
// missing router is a result like any other, never an error: the room works without.
//
// The external port is the room's own port when the router has it free, else the
// first free one of the given range. The mapping is leased and renewed at half the
// lease, so that a copy that dies leaves it behind for one lease at most; a router
// that takes only permanent mappings gets one.
class PortMapping : public QObject {
    Q_OBJECT

public:
    struct Request {
        quint16 port = 0; // the room's TCP port on this machine
        // External ports to try after `port`, in order.
        quint16 firstAlternative = 0;
        quint16 lastAlternative = 0;
        std::chrono::milliseconds discoveryTime{2000};
        std::chrono::seconds lease{3600};
    };

    explicit PortMapping(QObject* parent = nullptr);
    // Releases the mapping with the default wait.
    ~PortMapping() override;

    // Starts asking; once only.
    void start(const Request& request);
    // Removes the mapping. Waits at most `wait` for the router to confirm; a mapping
    // still being asked for is dropped by the worker as soon as it is made. The worker
    // never reports to this object again.
    void release(std::chrono::milliseconds wait);

    const PortMappingState& state() const { return m_state; }

    static constexpr std::chrono::milliseconds kReleaseWait{1000};

Q_SIGNALS:
    void changed();

private:
    struct Shared;
    void deliver(const PortMappingState& state);

    std::shared_ptr<Shared> m_shared;
    std::thread m_worker;
    PortMappingState m_state;
};

} // namespace session
