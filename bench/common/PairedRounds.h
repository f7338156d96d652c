#pragma once

// Rounds of a benchmark in which our program and its reference each run once, one right after
// the other, so that both meet the same state of the machine. Reports the best time of each, the
// ratio of the bests, and the median of the rounds' own ratios with their spread, which says how
// noisy the machine was. Ratios are reference time / our time: 1.0 is as fast as the reference.

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

class PairedRounds
{
public:
    explicit PairedRounds(const char *what) : FWhat(what) {}

    void add(double ours, double reference) { FRounds.push_back({ours, reference}); }
    bool empty() const { return FRounds.empty(); }

    double bestOurs() const { return best(&Round::ours); }
    double bestReference() const { return best(&Round::reference); }
    double medianRatio() const { return quantile(0.5); }

    // One line per round, then the summary.
    void print(const char *goal = nullptr) const
    {
        for (size_t i = 0; i < FRounds.size(); ++i)
            std::printf("  %-12s round %zu: ours %8.3f s, reference %8.3f s, ratio %.3f\n", FWhat, i + 1,
                        FRounds[i].ours, FRounds[i].reference, FRounds[i].reference / FRounds[i].ours);
        if (FRounds.empty())
            return;
        std::printf("%-12s best of %zu: ours %.3f s, reference %.3f s, ratio %.3f; median of paired ratios %.3f "
                    "(rounds from %.3f to %.3f)%s%s\n",
                    FWhat, FRounds.size(), bestOurs(), bestReference(), bestReference() / bestOurs(), medianRatio(),
                    quantile(0.0), quantile(1.0), goal ? "; goal " : "", goal ? goal : "");
    }

private:
    struct Round
    {
        double ours;
        double reference;
    };

    double best(double Round::*member) const
    {
        double out = 0;
        for (size_t i = 0; i < FRounds.size(); ++i)
            out = i == 0 ? FRounds[i].*member : std::min(out, FRounds[i].*member);
        return out;
    }

    // Of the rounds' ratios: 0 the lowest, 1 the highest, 0.5 the median.
    double quantile(double q) const
    {
        std::vector<double> ratios;
        for (const Round &r : FRounds)
            ratios.push_back(r.reference / r.ours);
        if (ratios.empty())
            return 0;
        std::sort(ratios.begin(), ratios.end());
        const double at = q * double(ratios.size() - 1);
        const size_t low = size_t(at);
        const size_t high = std::min(low + 1, ratios.size() - 1);
        return ratios[low] + (ratios[high] - ratios[low]) * (at - double(low));
    }

    const char *FWhat;
    std::vector<Round> FRounds;
};

} // namespace bench
