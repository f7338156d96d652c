#pragma once

#include <QtGlobal>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace klv::zlb {

// Takes the CRC-32 of a sequence of blocks on a thread of its own, so that it runs while the
// caller writes a block out and reads the next one in. The worker owns two block buffers that the
// caller fills in turn: a buffer is handed out only once the worker has finished reading it, and
// the caller may only read a queued buffer (to write it) until it asks for the next one.
class CrcWorker
{
public:
    explicit CrcWorker(qsizetype blockSize);
    // Waits for the queued blocks and stops the thread.
    ~CrcWorker();
    CrcWorker(const CrcWorker &) = delete;
    CrcWorker &operator=(const CrcWorker &) = delete;

    qsizetype blockSize() const { return FBlockSize; }
    // The buffer to fill next, of blockSize() bytes; waits while the worker still reads it.
    char *nextBuffer();
    // Queues the first `length` bytes of the buffer nextBuffer() handed out last.
    void add(qsizetype length);
    // Waits for every queued block and returns the CRC of all blocks added since the last call.
    quint32 take();

private:
    void run();

    const qsizetype FBlockSize;
    std::array<std::unique_ptr<char[]>, 2> FBuffers;
    std::array<qsizetype, 2> FLengths{};
    std::mutex FMutex;
    std::condition_variable FQueuedSignal;
    std::condition_variable FDoneSignal;
    uint64_t FQueued = 0;                 // blocks added so far; block n lives in buffer n % 2
    std::atomic<uint64_t> FQueuedHint{0}; // FQueued, for the worker's polling without the lock
    uint64_t FDone = 0;                   // blocks whose CRC is in FCrc
    quint32 FCrc = 0;
    bool FStop = false;
    std::thread FThread; // last: started once everything above exists
};

} // namespace klv::zlb
