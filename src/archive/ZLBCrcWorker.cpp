#include "ZLBCrcWorker.h"

#include "ZLBFormat.h"

#include <chrono>

namespace klv::zlb {

namespace {
// How long the worker polls for the next block before it sleeps. Blocks of one entry follow each
// other within a fraction of a millisecond; polling spares the wake-up call each would cost.
constexpr auto kPollTime = std::chrono::microseconds(200);
} // namespace

CrcWorker::CrcWorker(qsizetype blockSize)
    : FBlockSize(blockSize), FBuffers{std::make_unique_for_overwrite<char[]>(static_cast<size_t>(blockSize)),
                                      std::make_unique_for_overwrite<char[]>(static_cast<size_t>(blockSize))},
      FThread([this] { run(); })
{
}

CrcWorker::~CrcWorker()
{
    {
        const std::lock_guard lock(FMutex);
        FStop = true;
    }
    FQueuedSignal.notify_one();
    FThread.join();
}

char *CrcWorker::nextBuffer()
{
    std::unique_lock lock(FMutex);
    // Blocks finish in order: with at most one outstanding, the one two back is done.
    FDoneSignal.wait(lock, [this] { return FQueued - FDone <= 1; });
    return FBuffers[FQueued % 2].get();
}

void CrcWorker::add(qsizetype length)
{
    Q_ASSERT(length >= 0 && length <= FBlockSize);
    {
        const std::lock_guard lock(FMutex);
        Q_ASSERT(FQueued - FDone <= 1);
        FLengths[FQueued % 2] = length;
        ++FQueued;
        FQueuedHint.store(FQueued, std::memory_order_relaxed);
    }
    FQueuedSignal.notify_one();
}

quint32 CrcWorker::take()
{
    std::unique_lock lock(FMutex);
    FDoneSignal.wait(lock, [this] { return FDone == FQueued; });
    const quint32 crc = FCrc;
    FCrc = 0;
    return crc;
}

void CrcWorker::run()
{
    std::unique_lock lock(FMutex);
    for (;;) {
        if (!FStop && FDone == FQueued) {
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + kPollTime;
            while (FQueuedHint.load(std::memory_order_relaxed) == FDone && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            lock.lock();
        }
        FQueuedSignal.wait(lock, [this] { return FStop || FDone < FQueued; });
        // Queued blocks are finished even when stopping, so that nobody waits for them forever.
        if (FDone == FQueued)
            return;
        const char *data = FBuffers[FDone % 2].get();
        const qsizetype length = FLengths[FDone % 2];
        quint32 crc = FCrc;
        lock.unlock();
        crc = crc32(crc, data, length);
        lock.lock();
        FCrc = crc;
        ++FDone;
        FDoneSignal.notify_one();
    }
}

} // namespace klv::zlb
