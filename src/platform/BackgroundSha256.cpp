#include "BackgroundSha256.h"

namespace klv {

BackgroundSha256::BackgroundSha256(qsizetype maxPending, qsizetype inlineBytes)
    : FMaxPending(std::max<qsizetype>(1, maxPending)), FInlineLeft(std::max<qsizetype>(0, inlineBytes))
{
}

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard lock(FMutex);
        FClosing = true;
        FQueue.clear();
    }
    FChanged.notify_all();
    if (FThread.joinable())
        FThread.join();
}

void BackgroundSha256::add(QByteArray block)
{
    if (block.isEmpty())
        return;
    if (!FThread.joinable()) {
        if (block.size() <= FInlineLeft) {
            FInlineLeft -= block.size();
            FHasher.add(block);
            return;
        }
        FThread = std::thread([this] { run(); });
    }
    std::unique_lock lock(FMutex);
    // A block larger than the whole allowance still goes once nothing else waits.
    FChanged.wait(lock, [&] { return FPending == 0 || FPending + block.size() <= FMaxPending; });
    FPending += block.size();
    FQueue.push_back(std::move(block));
    lock.unlock();
    FChanged.notify_all();
}

QByteArray BackgroundSha256::result()
{
    if (!FThread.joinable())
        return FHasher.result();
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FQueue.empty() && FIdle; });
    return FHasher.result();
}

void BackgroundSha256::run()
{
    std::unique_lock lock(FMutex);
    for (;;) {
        FChanged.wait(lock, [&] { return FClosing || !FQueue.empty(); });
        if (FClosing)
            return;
        QByteArray block = std::move(FQueue.front());
        FQueue.pop_front();
        FIdle = false;
        lock.unlock();
        FHasher.add(block);
        lock.lock();
        FPending -= block.size();
        FIdle = true;
        FChanged.notify_all();
    }
}

} // namespace klv
