#include "RateWatch.h"

#include <algorithm>

namespace klv {

RateWatch::RateWatch(int64_t bytesPerSecond, std::chrono::milliseconds window)
    : FWindowMs(window.count()), FWindowMinimum(double(bytesPerSecond) * double(window.count()) / 1000.0)
{
}

std::chrono::milliseconds RateWatch::checkInterval() const
{
    return std::chrono::milliseconds(std::clamp<qint64>(FWindowMs / 8, 1, 1000));
}

bool RateWatch::tooSlow(qint64 elapsedMs, int64_t received)
{
    FSamples.emplace_back(elapsedMs, received);
    while (FSamples.size() >= 2 && FSamples[1].first <= elapsedMs - FWindowMs)
        FSamples.pop_front();
    return elapsedMs >= FWindowMs && double(received - FSamples.front().second) < FWindowMinimum;
}

} // namespace klv
