#pragma once

#include <memory>

class QNetworkAccessManager;

namespace klv {

// Holds the network thread of a QNetworkAccessManager while a request is handed to it, so that
// what is set on the reply right after get() (the read buffer limit) is in force before that
// thread reads a byte of the answer.
//
// Qt passes the limit to its network thread by a queued call that follows the request's own. On
// a kept-alive connection the answer comes back within a fraction of a millisecond, and a
// request thread that loses the processor between the two calls lets the answer stream in
// unlimited (a large file then ends up in memory). While the gate stands, the network thread
// waits in a queued call of ours; the two calls that come meanwhile are taken together once it
// opens, before the thread looks at its sockets again.
class NetworkThreadGate
{
public:
    // Holds the thread, started first when the manager has none yet. Holds nothing when the thread
    // does not reach the gate within a moment (it is stuck elsewhere).
    explicit NetworkThreadGate(QNetworkAccessManager &manager);
    ~NetworkThreadGate();
    NetworkThreadGate(const NetworkThreadGate &) = delete;
    NetworkThreadGate &operator=(const NetworkThreadGate &) = delete;

    bool holding() const { return bool(FState); }
    // Lets the thread go on; the destructor does it too.
    void open();

private:
    struct State;
    std::shared_ptr<State> FState;
};

// To be called before the application object is made. On Linux, Qt's own event loop instead of
// glib's: glib's wakes the receiving thread once for every event that the network thread posts
// (several for each 16 KB received), Qt's once until it has run. Elsewhere, and when the
// environment already says which loop (QT_NO_GLIB), it changes nothing.
void preferCoalescingEventLoop();

} // namespace klv
