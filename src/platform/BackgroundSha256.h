#pragma once

#include "Sha256.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace klv {

// SHA-256 of a stream, taken on a thread of its own so that hashing overlaps the work that
// produces the bytes (a download that writes them to disk) instead of adding to it. Blocks are
// handed over without a copy (QByteArray shares them); at most `maxPending` bytes wait, so that a
// slow hasher holds back the producer rather than filling memory. The first `inlineBytes` are
// hashed on the caller's thread, and the thread starts only for a stream that goes on: for a small
// file, starting and joining a thread costs more than hashing it.
class BackgroundSha256
{
public:
    explicit BackgroundSha256(qsizetype maxPending = 16 * 1024 * 1024, qsizetype inlineBytes = 1024 * 1024);
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // The caller must not change `block` afterwards (a new QByteArray per block).
    void add(QByteArray block);
    // Waits until every block is hashed; the 32-byte digest. Nothing may be added afterwards.
    QByteArray result();

private:
    void run();

    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<QByteArray> FQueue;
    qsizetype FPending = 0;
    const qsizetype FMaxPending;
    bool FClosing = false;
    bool FIdle = true;
    qsizetype FInlineLeft; // bytes that may still be hashed on the caller's thread
    Sha256 FHasher;
    std::thread FThread;
};

} // namespace klv
