// Running window accumulators with add/remove: a compensated (Kahan) sum and an online
// (Welford) variance. The arithmetic is written out step by step on purpose: the same operations
// in the same order give the same bits as pandas' rolling kernels, which matters where the result
// is a small difference of large numbers (constant windows, correlations).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace orvalis::core {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sum of the non-missing values of a window. Additions and removals carry separate
// compensations. `same_run` counts how many of the latest additions were equal: when the whole
// window is one repeated value, the sum and mean are taken from that value, which removes the
// rounding residue of earlier, larger values.
struct KahanSum {
    double sum = 0.0;
    double comp_add = 0.0;
    double comp_remove = 0.0;
    std::int64_t nobs = 0;
    std::int64_t negatives = 0;
    std::int64_t same_run = 0;
    double last = kNaN;

    void add(double v) {
        if (v != v) return;
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        if (std::signbit(v)) ++negatives;
        same_run = (v == last) ? same_run + 1 : 1;
        last = v;
    }

    void remove(double v) {
        if (v != v) return;
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
        if (std::signbit(v)) --negatives;
    }

    // Window sum when at least `min_count` values are present.
    double total(std::int64_t min_count) const {
        if (nobs == 0 && min_count == 0) return 0.0;
        if (nobs < min_count) return kNaN;
        return same_run >= nobs ? last * static_cast<double>(nobs) : sum;
    }

    // Window mean when at least `min_count` (and at least one) values are present; a mean of
    // values of one sign never takes the other sign through rounding.
    double mean(std::int64_t min_count) const {
        if (nobs < min_count || nobs <= 0) return kNaN;
        double r = sum / static_cast<double>(nobs);
        if (same_run >= nobs)
            r = last;
        else if (negatives == 0 && r < 0)
            r = 0.0;
        else if (negatives == nobs && r > 0)
            r = 0.0;
        return r;
    }
};

// Online variance with add/remove (Welford's update, compensated).
struct WelfordVar {
    double nobs = 0.0;
    double mean = 0.0;
    double ssqdm = 0.0;
    double comp_add = 0.0;
    double comp_remove = 0.0;
    std::int64_t same_run = 0;
    double last = kNaN;

    void add(double v) {
        if (std::isnan(v)) return;
        nobs += 1.0;
        same_run = (v == last) ? same_run + 1 : 1;
        last = v;
        const double prev_mean = mean - comp_add;
        const double y = v - comp_add;
        const double t = y - mean;
        comp_add = t + mean - y;
        mean = nobs != 0.0 ? mean + t / nobs : 0.0;
        ssqdm = ssqdm + (v - prev_mean) * (v - mean);
    }

    void remove(double v) {
        if (v != v) return;
        nobs -= 1.0;
        if (nobs != 0.0) {
            const double prev_mean = mean - comp_remove;
            const double y = v - comp_remove;
            const double t = y - mean;
            comp_remove = t + mean - y;
            mean = mean - t / nobs;
            ssqdm = ssqdm - (v - prev_mean) * (v - mean);
        } else {
            mean = 0.0;
            ssqdm = 0.0;
        }
    }

    // Sample variance (divisor nobs - ddof) when at least `min_count` values are present.
    double variance(std::int64_t min_count, int ddof = 1) const {
        const double minp = static_cast<double>(min_count < 1 ? 1 : min_count);
        if (!(nobs >= minp && nobs > ddof)) return kNaN;
        if (static_cast<double>(same_run) >= nobs) return 0.0;
        if (nobs == 1.0) return 0.0;
        return ssqdm / (nobs - static_cast<double>(ddof));
    }
};

}  // namespace orvalis::core
