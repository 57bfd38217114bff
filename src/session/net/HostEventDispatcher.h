#pragma once

#include <QAbstractEventDispatcher>
#include <QAtomicInt>
#include <QHash>
#include <chrono>
#include <map>
#include <memory>

namespace session {

// The event loop of the host's thread. Qt's own loops hand the kernel every watched
// descriptor on every turn (poll), and walk them all again afterwards: with hundreds
// of members that was about an eighth of what the host spent on a join. This
// one keeps the descriptors in an epoll set, so a turn costs what is ready, not what
// is open. Timers, posted events, wake-ups and interruptions behave as in Qt's loops;
// timers of every type are kept to the millisecond.
//
// Give it to a thread before the thread starts (QThread::setEventDispatcher); from
// then on it is used on that thread alone, but for wakeUp() and interrupt().
class HostEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT

public:
    // Nothing when the kernel gives no epoll set or eventfd (the process is out of
    // descriptors, say): the thread keeps Qt's own loop then.
    static std::unique_ptr<HostEventDispatcher> create();
    ~HostEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    using QAbstractEventDispatcher::registerTimer;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    HostEventDispatcher();

    using Clock = std::chrono::steady_clock;

    using TimersByDue = std::multimap<Clock::time_point, int>;
    struct Timer {
        qint64 interval; // milliseconds
        Qt::TimerType type;
        QObject* object;
        TimersByDue::iterator due;
        bool delivering = false; // its event is being handled (a nested loop may turn)
    };
    // The notifiers of one descriptor, at most one of each type.
    struct Watched {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QSocketNotifier* exception = nullptr;
    };

    void watch(int descriptor, const Watched& notifiers);
    bool activateNotifiers(int descriptor, quint32 events);
    int activateTimers();
    int waitMilliseconds(bool mayWait) const;
    void clearWakeUps();

    int m_epoll = -1;
    int m_wakeUp = -1; // an eventfd, in the epoll set
    QAtomicInt m_wakeUpsPending;
    QAtomicInt m_interrupted;
    QHash<int, Watched> m_watched;
    QHash<int, Timer> m_timers;
    TimersByDue m_timersByDue;
};

} // namespace session
