#include "NetworkThreadGate.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QSemaphore>
#include <QThread>
#include <QtGlobal>

// The manager's network thread is not published; Qt 6.4 keeps it in the manager's private part,
// whose headers use the keywords this project switches off.
#define signals Q_SIGNALS
#define slots Q_SLOTS
#include <QtNetwork/private/qnetworkaccessmanager_p.h>
#undef slots
#undef signals

namespace klv {

namespace {
// Qt exports no type information for its private part, which the sanitizer's type check needs.
#if defined(__GNUC__)
#define KLV_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define KLV_NO_VPTR_CHECK
#endif

KLV_NO_VPTR_CHECK QThread *&networkThread(QNetworkAccessManager &manager)
{
    return static_cast<QNetworkAccessManagerPrivate *>(QObjectPrivate::get(&manager))->thread;
}

// The manager starts its thread with its first request, inside get(); started here the same way
// (the manager stops and deletes it as its own), the first request can be held too.
QThread *startedNetworkThread(QNetworkAccessManager &manager)
{
    QThread *&thread = networkThread(manager);
    if (!thread) {
        thread = new QThread;
        thread->setObjectName(QStringLiteral("QNetworkAccessManager thread"));
        thread->start();
    }
    return thread;
}

// How long the thread may take to reach the gate; it is idle between transfers, so this is only
// for a thread that is stuck elsewhere, which the request then finds as it is.
constexpr int kReachMs = 2000;
} // namespace

struct NetworkThreadGate::State
{
    QSemaphore reached;
    QSemaphore opened;
};

NetworkThreadGate::NetworkThreadGate(QNetworkAccessManager &manager)
{
    QThread *thread = startedNetworkThread(manager);
    if (!thread->isRunning() || thread == QThread::currentThread())
        return;
    // A call to an object of that thread waits in its queue until the thread's loop runs, also
    // when the thread has only just been started.
    auto *stop = new QObject;
    stop->moveToThread(thread);
    auto state = std::make_shared<State>();
    QMetaObject::invokeMethod(
        stop,
        [state, stop] {
            state->reached.release();
            state->opened.acquire();
            delete stop;
        },
        Qt::QueuedConnection);
    if (state->reached.tryAcquire(1, kReachMs))
        FState = std::move(state);
    else
        state->opened.release(); // it passes at once whenever it gets there
}

NetworkThreadGate::~NetworkThreadGate()
{
    open();
}

void NetworkThreadGate::open()
{
    if (FState)
        FState->opened.release();
    FState.reset();
}

void preferCoalescingEventLoop()
{
#if defined(Q_OS_LINUX)
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
#endif
}

} // namespace klv
