#include "orvalis/core/moments.hpp"

#include <cmath>
#include <algorithm>
#include <limits>
#include <vector>

namespace orvalis::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kBlock = 128;

// sum((mean - x)^2) over the present values / (count - 1), sqrt: pandas' nanvar and nanstd.
double sample_sd(std::span<const double> x, double mean, double count) {
    const double d = count - 1.0;
    if (!(count > 1.0)) return kNaN;
    std::vector<double> sqr(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        const double dev = mean - v;
        sqr[i] = v == v ? dev * dev : 0.0;
    }
    return std::sqrt(pairwise_sum(sqr.data(), sqr.size()) / d);
}

}  // namespace

double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + static_cast<std::size_t>(j)];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

Moments moments(std::span<const double> x) {
    // the values with gaps as 0, summed; the mean over the values present
    std::vector<double> filled(x.size());
    std::size_t present = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        const bool here = v == v;
        present += here;
        filled[i] = here ? v : 0.0;
    }
    const double count = static_cast<double>(present);
    const double mean = pairwise_sum(filled.data(), filled.size()) / count;
    return {mean, sample_sd(x, mean, count)};
}

Moments moments(std::span<const std::int64_t> x, std::size_t bufsize) {
    const std::size_t n = x.size();
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(x[i]);
    double mean = kNaN;
    if (n > 0 && bufsize > 0) {
        // each buffer's pairwise sum in turn
        double sum = pairwise_sum(v.data(), std::min(bufsize, n));
        for (std::size_t s = bufsize; s < n; s += bufsize)
            sum += pairwise_sum(v.data() + s, std::min(bufsize, n - s));
        mean = sum / static_cast<double>(n);
    }
    // the deviation sums the converted values themselves, unbuffered
    const double count = static_cast<double>(n);
    const double avg = n > 0 ? pairwise_sum(v.data(), n) / count : kNaN;
    return {mean, sample_sd(v, avg, count)};
}

}  // namespace orvalis::core
