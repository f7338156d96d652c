#pragma once

#include <QtGlobal>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace klv::zlb {

// A 64-bit value that one thread changes and another waits for: a short spin, then a blocking
// wait. std::atomic::wait is not used: the MinGW standard library (GCC 12) implements it with a
// shared pool of condition variables that can miss a wake-up, which hung a CRC under Windows.
// The mutex is taken only while somebody waits.
class WaitableValue
{
public:
    explicit WaitableValue(uint64_t value) : FValue(value) {}
    uint64_t load() const { return FValue.load(std::memory_order_acquire); }
    void store(uint64_t value)
    {
        FValue.store(value, std::memory_order_seq_cst);
        wake();
    }
    void increment()
    {
        FValue.fetch_add(1, std::memory_order_seq_cst);
        wake();
    }
    // Nobody waits for the value a successful exchange sets, so it wakes nobody.
    bool compareExchange(uint64_t expected, uint64_t desired)
    {
        return FValue.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    }
    // Returns the first value for which ready(value) holds.
    template <typename Ready> uint64_t waitFor(Ready ready);

private:
    void wake();

    std::atomic<uint64_t> FValue;
    std::atomic<int> FWaiters{0};
    std::mutex FMutex;
    std::condition_variable FChanged;
};

// Takes the CRC-32 of a sequence of blocks with the help of a second thread, so that it runs while
// the caller reads and writes the blocks. Each block's CRC is taken on its own, by the worker or,
// when the worker has fallen behind, by the caller; the parts are joined in order with zlib's
// crc32_combine. The caller thus spends time on the CRC only where the worker cannot keep up.
//
// The caller fills the buffers handed out by nextBuffer() in turn, and may read a queued buffer
// (to write it out) until it asks for the next one. Only one thread may be the caller.
class CrcWorker
{
public:
    explicit CrcWorker(qsizetype blockSize);
    // Stops and joins the thread; blocks not yet taken are dropped.
    ~CrcWorker();
    CrcWorker(const CrcWorker &) = delete;
    CrcWorker &operator=(const CrcWorker &) = delete;

    qsizetype blockSize() const { return FBlockSize; }
    // The buffer to fill next, of blockSize() bytes. Its earlier block is finished first.
    char *nextBuffer();
    // Queues the first `length` bytes of the buffer nextBuffer() handed out last.
    void add(qsizetype length);
    // The CRC of every block added since the last call; starts a new sum.
    quint32 take();

private:
    struct Slot
    {
        std::unique_ptr<char[]> data;
        qsizetype length = 0;
        quint32 crc = 0;
        // Block number * 4 + stage (queued, claimed, done); claims go by compare-and-swap, so a
        // block is summed exactly once, by whichever thread claims it first.
        WaitableValue state{UINT64_MAX};
    };

    Slot &slotOf(uint64_t block) { return FSlots[block % FSlots.size()]; }
    bool claim(Slot &slot, uint64_t block);
    void sum(Slot &slot, uint64_t block);
    void foldOldest();
    void run();

    const qsizetype FBlockSize;
    const unsigned long FFullBlockOp; // crc32_combine_gen(blockSize)
    std::vector<Slot> FSlots;
    // The caller's side.
    uint64_t FNext = 0;   // blocks added so far
    uint64_t FFolded = 0; // blocks whose CRC is in FTotal
    quint32 FTotal = 0;
    // Shared with the worker.
    WaitableValue FPublished{0};
    std::atomic<bool> FStop{false};
    std::thread FThread; // last: started once everything above exists
};

} // namespace klv::zlb
