#pragma once

#include <QtGlobal>

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

namespace klv {

// Watches that a transfer keeps up a minimum rate: fewer than `bytesPerSecond` on average over the
// last `window`, counted once the transfer has run that long, is too slow. Unlike an inactivity
// time-out, a trickle of bytes does not keep it content.
class RateWatch
{
public:
    RateWatch(int64_t bytesPerSecond, std::chrono::milliseconds window);

    // How often the transfer should be looked at: often enough to see a window fall short soon.
    std::chrono::milliseconds checkInterval() const;
    // The transfer has received `received` bytes `elapsedMs` after its start; whether the last
    // window fell short of the minimum.
    bool tooSlow(qint64 elapsedMs, int64_t received);

private:
    qint64 FWindowMs;
    double FWindowMinimum;                                   // bytes a window must bring
    std::deque<std::pair<qint64, int64_t>> FSamples{{0, 0}}; // (ms since the start, bytes received)
};

} // namespace klv
