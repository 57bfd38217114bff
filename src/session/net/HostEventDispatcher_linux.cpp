#include "session/SessionLog.h"
#include "session/net/HostEventDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QVarLengthArray>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace session {

namespace {
// Descriptors reported per turn; more that are ready come on the next turn.
constexpr int kEventsPerTurn = 256;

// The kernel reports a broken or closed connection as ready both ways, as poll does.
constexpr quint32 kReadable = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr quint32 kWritable = EPOLLOUT | EPOLLHUP | EPOLLERR;

int millisecondsUntil(std::chrono::steady_clock::time_point due, std::chrono::steady_clock::time_point now) {
    if (due <= now) {
        return 0;
    }
    // Rounded up: waking before the timer is due would only turn the loop for nothing.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::min<qint64>(wait, std::numeric_limits<int>::max()));
}

void activate(QSocketNotifier* notifier) {
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent(notifier, &event);
}
} // namespace

HostEventDispatcher::HostEventDispatcher()
    : QAbstractEventDispatcher(nullptr),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_wakeUp;
    if (m_epoll < 0 || m_wakeUp < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeUp, &event) != 0) {
        qCWarning(lcSession, "the host's own event loop cannot be made (%s); Qt's serves instead", strerror(errno));
        for (int* descriptor : {&m_wakeUp, &m_epoll}) {
            if (*descriptor >= 0) {
                ::close(std::exchange(*descriptor, -1));
            }
        }
    }
}

std::unique_ptr<HostEventDispatcher> HostEventDispatcher::create() {
    auto dispatcher = std::unique_ptr<HostEventDispatcher>(new HostEventDispatcher);
    if (dispatcher->m_epoll < 0 || dispatcher->m_wakeUp < 0) {
        return nullptr;
    }
    return dispatcher;
}

HostEventDispatcher::~HostEventDispatcher() {
    for (const int descriptor : {m_wakeUp, m_epoll}) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
}

bool HostEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m_interrupted.storeRelaxed(0);
    Q_EMIT awake();
    QCoreApplication::sendPostedEvents();

    const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents) && m_interrupted.loadRelaxed() == 0;
    if (mayWait) {
        Q_EMIT aboutToBlock();
    }
    if (m_interrupted.loadRelaxed() != 0) {
        return false;
    }
    const int timeout = waitMilliseconds(mayWait);
    int handled = 0;
    if (flags.testFlag(QEventLoop::ExcludeSocketNotifiers)) {
        // Only a wake-up may end the wait; ready sockets stay ready for a later turn.
        pollfd wake{m_wakeUp, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&wake, 1, timeout);
        } while (ready < 0 && errno == EINTR);
        if (ready > 0) {
            clearWakeUps();
            ++handled;
        }
    } else {
        epoll_event events[kEventsPerTurn];
        int ready;
        do {
            ready = ::epoll_wait(m_epoll, events, kEventsPerTurn, timeout);
        } while (ready < 0 && errno == EINTR);
        // What was posted before the sockets became ready is handled before them, in
        // this turn: a call from another thread keeps its place before the bytes that
        // arrived while this thread was waking up.
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd == m_wakeUp) {
                clearWakeUps();
                QCoreApplication::sendPostedEvents();
                ++handled;
            }
        }
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd != m_wakeUp && activateNotifiers(events[i].data.fd, events[i].events)) {
                ++handled;
            }
        }
    }
    if (!flags.testFlag(QEventLoop::X11ExcludeTimers)) {
        handled += activateTimers();
    }
    return handled > 0;
}

bool HostEventDispatcher::activateNotifiers(int descriptor, quint32 events) {
    // Each handler may close or re-register any descriptor, this one included: the
    // notifiers are looked up again before each activation.
    bool any = false;
    const auto notifierOf = [&](QSocketNotifier* Watched::*slot) -> QSocketNotifier* {
        const auto it = m_watched.constFind(descriptor);
        return it == m_watched.cend() ? nullptr : (*it).*slot;
    };
    if ((events & kReadable) != 0) {
        if (QSocketNotifier* notifier = notifierOf(&Watched::read)) {
            activate(notifier);
            any = true;
        }
    }
    if ((events & kWritable) != 0) {
        if (QSocketNotifier* notifier = notifierOf(&Watched::write)) {
            activate(notifier);
            any = true;
        }
    }
    if ((events & EPOLLPRI) != 0) {
        if (QSocketNotifier* notifier = notifierOf(&Watched::exception)) {
            activate(notifier);
            any = true;
        }
    }
    return any;
}

void HostEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int descriptor = static_cast<int>(notifier->socket());
    Watched notifiers = m_watched.value(descriptor);
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        notifiers.read = notifier;
        break;
    case QSocketNotifier::Write:
        notifiers.write = notifier;
        break;
    case QSocketNotifier::Exception:
        notifiers.exception = notifier;
        break;
    }
    watch(descriptor, notifiers);
}

void HostEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const int descriptor = static_cast<int>(notifier->socket());
    const auto it = m_watched.constFind(descriptor);
    if (it == m_watched.cend()) {
        return;
    }
    Watched notifiers = *it;
    for (QSocketNotifier** slot : {&notifiers.read, &notifiers.write, &notifiers.exception}) {
        if (*slot == notifier) {
            *slot = nullptr;
        }
    }
    watch(descriptor, notifiers);
}

void HostEventDispatcher::watch(int descriptor, const Watched& notifiers) {
    const quint32 wanted = (notifiers.read != nullptr ? quint32{EPOLLIN | EPOLLRDHUP} : 0U) |
                           (notifiers.write != nullptr ? quint32{EPOLLOUT} : 0U) |
                           (notifiers.exception != nullptr ? quint32{EPOLLPRI} : 0U);
    const bool known = m_watched.contains(descriptor);
    if (wanted == 0) {
        // A descriptor closed before its notifiers were switched off has left the set
        // already; the kernel's complaint about that is of no interest.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, descriptor, nullptr);
        m_watched.remove(descriptor);
        return;
    }
    epoll_event event{};
    event.events = wanted;
    event.data.fd = descriptor;
    int done = ::epoll_ctl(m_epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor, &event);
    if (done != 0 && known && errno == ENOENT) {
        // The descriptor was closed while watched, and its number is in use again.
        done = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event);
    } else if (done != 0 && !known && errno == EEXIST) {
        done = ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, descriptor, &event);
    }
    if (done != 0) {
        qCWarning(lcSession, "descriptor %d cannot be watched: %s", descriptor, strerror(errno));
        m_watched.remove(descriptor);
        return;
    }
    m_watched.insert(descriptor, notifiers);
}

void HostEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) {
    unregisterTimer(timerId);
    const auto due = Clock::now() + std::chrono::milliseconds(interval);
    m_timers.insert(timerId, Timer{interval, timerType, object, m_timersByDue.emplace(due, timerId)});
}

bool HostEventDispatcher::unregisterTimer(int timerId) {
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end()) {
        return false;
    }
    m_timersByDue.erase(it->due);
    m_timers.erase(it);
    return true;
}

bool HostEventDispatcher::unregisterTimers(QObject* object) {
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->object == object) {
            m_timersByDue.erase(it->due);
            it = m_timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> HostEventDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> timers;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (it->object == object) {
            timers.append(TimerInfo(it.key(), static_cast<int>(it->interval), it->type));
        }
    }
    return timers;
}

int HostEventDispatcher::remainingTime(int timerId) {
    const auto it = m_timers.constFind(timerId);
    return it == m_timers.cend() ? -1 : millisecondsUntil(it->due->first, Clock::now());
}

int HostEventDispatcher::waitMilliseconds(bool mayWait) const {
    if (!mayWait) {
        return 0;
    }
    if (m_timersByDue.empty()) {
        return -1;
    }
    return millisecondsUntil(m_timersByDue.begin()->first, Clock::now());
}

int HostEventDispatcher::activateTimers() {
    const auto now = Clock::now();
    // Only timers due when the turn began: one that a handler starts, or that falls due
    // again at once (an interval of 0), waits for the next turn, so timers cannot keep
    // the loop from its sockets.
    QVarLengthArray<int, 16> due;
    for (auto it = m_timersByDue.cbegin(); it != m_timersByDue.cend() && it->first <= now; ++it) {
        due.append(it->second);
    }
    int fired = 0;
    for (const int timerId : due) {
        auto it = m_timers.find(timerId);
        if (it == m_timers.end() || it->delivering) {
            continue;
        }
        // The next time is counted from when this one was due, so a repeating timer
        // keeps its pace; one that fell a whole interval behind starts again from now.
        const auto interval = std::chrono::milliseconds(it->interval);
        auto next = it->due->first + interval;
        if (next < now) {
            next = now + interval;
        }
        m_timersByDue.erase(it->due);
        it->due = m_timersByDue.emplace(next, timerId);
        it->delivering = true;
        QObject* object = it->object;
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        // The handler may have stopped the timer, or started others.
        if (it = m_timers.find(timerId); it != m_timers.end()) {
            it->delivering = false;
        }
    }
    return fired;
}

void HostEventDispatcher::wakeUp() {
    if (m_wakeUpsPending.testAndSetAcquire(0, 1)) {
        const quint64 one = 1;
        while (::write(m_wakeUp, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void HostEventDispatcher::interrupt() {
    m_interrupted.storeRelaxed(1);
    wakeUp();
}

void HostEventDispatcher::clearWakeUps() {
    // A call posted after this wakes the loop again; one posted before the flag clears
    // is in the queue already, and is sent before the next wait.
    quint64 count = 0;
    while (::read(m_wakeUp, &count, sizeof count) < 0 && errno == EINTR) {
    }
    m_wakeUpsPending.storeRelease(0);
}

} // namespace session
