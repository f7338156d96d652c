#include "ZLBCrcWorker.h"

#include "ZLBFormat.h"

#include <zlib.h>

namespace klv::zlb {

namespace {

enum Stage : uint64_t
{
    Queued = 0,
    Claimed = 1,
    Done = 2,
};

constexpr uint64_t stateOf(uint64_t block, Stage stage)
{
    return block * 4 + stage;
}

// Blocks follow each other within tens of microseconds, so a wait first spins a little: that
// spares the sleep and wake-up calls a blocking wait would cost on every block.
constexpr int kSpins = 2000;

inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The number of slots: enough that the caller seldom waits for a free one when the worker is
// briefly slower.
constexpr size_t kSlots = 4;

} // namespace

template <typename Ready> uint64_t WaitableValue::waitFor(Ready ready)
{
    for (int i = 0; i < kSpins; ++i) {
        const uint64_t now = load();
        if (ready(now))
            return now;
        cpuRelax();
    }
    std::unique_lock lock(FMutex);
    // Counted before the value is read again: a change after this read sees the waiter and
    // takes the mutex, which it gets only once this thread sleeps on the condition.
    FWaiters.fetch_add(1, std::memory_order_seq_cst);
    uint64_t now = FValue.load(std::memory_order_seq_cst);
    while (!ready(now)) {
        FChanged.wait(lock);
        now = FValue.load(std::memory_order_seq_cst);
    }
    FWaiters.fetch_sub(1, std::memory_order_relaxed);
    return now;
}

void WaitableValue::wake()
{
    if (FWaiters.load(std::memory_order_seq_cst) == 0)
        return;
    {
        const std::lock_guard lock(FMutex);
    }
    FChanged.notify_all();
}

CrcWorker::CrcWorker(qsizetype blockSize)
    : FBlockSize(blockSize), FFullBlockOp(crc32_combine_gen(static_cast<z_off_t>(blockSize))), FSlots(kSlots)
{
    for (Slot &slot : FSlots)
        slot.data = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(blockSize));
    FThread = std::thread([this] { run(); });
}

CrcWorker::~CrcWorker()
{
    FStop.store(true);
    // A changed value wakes the worker, which then sees the stop before anything else.
    FPublished.increment();
    FThread.join();
}

char *CrcWorker::nextBuffer()
{
    // The slot is free once its earlier block is folded into the sum.
    while (FNext - FFolded >= FSlots.size())
        foldOldest();
    return slotOf(FNext).data.get();
}

void CrcWorker::add(qsizetype length)
{
    Q_ASSERT(length >= 0 && length <= FBlockSize && FNext - FFolded < FSlots.size());
    Slot &slot = slotOf(FNext);
    slot.length = length;
    slot.state.store(stateOf(FNext, Queued));
    ++FNext;
    FPublished.store(FNext);
}

quint32 CrcWorker::take()
{
    while (FFolded < FNext)
        foldOldest();
    const quint32 crc = FTotal;
    FTotal = 0;
    return crc;
}

bool CrcWorker::claim(Slot &slot, uint64_t block)
{
    return slot.state.compareExchange(stateOf(block, Queued), stateOf(block, Claimed));
}

void CrcWorker::sum(Slot &slot, uint64_t block)
{
    slot.crc = crc32(0, slot.data.get(), slot.length);
    slot.state.store(stateOf(block, Done));
}

void CrcWorker::foldOldest()
{
    const uint64_t block = FFolded;
    Slot &slot = slotOf(block);
    if (claim(slot, block)) {
        // The worker is behind: the caller sums the block itself instead of waiting.
        sum(slot, block);
    } else {
        // The worker sums the oldest block; meanwhile the caller takes the newest ones from the
        // other end of the queue. The worker claims in order, so once it holds a block it holds
        // every older one too.
        for (uint64_t newer = FNext - 1; newer > block; --newer) {
            if (slot.state.load() == stateOf(block, Done))
                break;
            Slot &other = slotOf(newer);
            if (!claim(other, newer))
                break;
            sum(other, newer);
        }
        slot.state.waitFor([&](uint64_t state) { return state == stateOf(block, Done); });
    }
    FTotal = static_cast<quint32>(slot.length == FBlockSize
                                      ? crc32_combine_op(FTotal, slot.crc, FFullBlockOp)
                                      : crc32_combine(FTotal, slot.crc, static_cast<z_off_t>(slot.length)));
    ++FFolded;
}

void CrcWorker::run()
{
    for (uint64_t block = 0;; ++block) {
        FPublished.waitFor([&](uint64_t published) { return published > block; });
        if (FStop.load())
            return;
        Slot &slot = slotOf(block);
        // A block the caller has claimed already is skipped.
        if (claim(slot, block))
            sum(slot, block);
    }
}

} // namespace klv::zlb
