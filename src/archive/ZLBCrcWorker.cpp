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

// Waits until `ready(value)` holds for the atomic's value: a short spin, then a blocking wait.
template <typename Ready> uint64_t waitFor(const std::atomic<uint64_t> &value, Ready ready)
{
    for (int i = 0; i < kSpins; ++i) {
        const uint64_t now = value.load(std::memory_order_acquire);
        if (ready(now))
            return now;
        cpuRelax();
    }
    for (;;) {
        const uint64_t now = value.load(std::memory_order_acquire);
        if (ready(now))
            return now;
        value.wait(now, std::memory_order_acquire);
    }
}

// The number of slots: enough that the caller seldom waits for a free one when the worker is
// briefly slower.
constexpr size_t kSlots = 4;

} // namespace

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
    FPublished.fetch_add(1);
    FPublished.notify_one();
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
    slot.state.store(stateOf(FNext, Queued), std::memory_order_release);
    ++FNext;
    FPublished.store(FNext, std::memory_order_release);
    FPublished.notify_one();
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
    uint64_t expected = stateOf(block, Queued);
    return slot.state.compare_exchange_strong(expected, stateOf(block, Claimed), std::memory_order_acq_rel);
}

void CrcWorker::sum(Slot &slot, uint64_t block)
{
    slot.crc = crc32(0, slot.data.get(), slot.length);
    slot.state.store(stateOf(block, Done), std::memory_order_release);
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
            if (slot.state.load(std::memory_order_acquire) == stateOf(block, Done))
                break;
            Slot &other = slotOf(newer);
            if (!claim(other, newer))
                break;
            sum(other, newer);
        }
        waitFor(slot.state, [&](uint64_t state) { return state == stateOf(block, Done); });
    }
    FTotal = static_cast<quint32>(slot.length == FBlockSize
                                      ? crc32_combine_op(FTotal, slot.crc, FFullBlockOp)
                                      : crc32_combine(FTotal, slot.crc, static_cast<z_off_t>(slot.length)));
    ++FFolded;
}

void CrcWorker::run()
{
    for (uint64_t block = 0;; ++block) {
        waitFor(FPublished, [&](uint64_t published) { return published > block; });
        if (FStop.load())
            return;
        Slot &slot = slotOf(block);
        // A block the caller has claimed already is skipped.
        if (claim(slot, block)) {
            sum(slot, block);
            slot.state.notify_one();
        }
    }
}

} // namespace klv::zlb
