#include "orvalis/core/moments.hpp"

#include <cmath>
#include <algorithm>
#include <limits>
#include <vector>

namespace orvalis::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kBlock = 128;

// NumPy's pairwise summation of term(0) .. term(n - 1), the terms computed where they are read.
template <class Term>
double pairwise(const Term& term, std::size_t first, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += term(first + i);
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = term(first + j);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += term(first + i + j);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += term(first + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(term, first, n2) + pairwise(term, first + n2, n - n2);
}

// sum((mean - x)^2) over the present values / (count - 1), sqrt: pandas' nanvar and nanstd.
template <class Value>
double sample_sd(const Value& value, std::size_t n, double mean, double count) {
    if (!(count > 1.0)) return kNaN;
    const auto square = [&](std::size_t i) {
        const double v = value(i);
        const double dev = mean - v;
        return v == v ? dev * dev : 0.0;
    };
    return std::sqrt(pairwise(square, 0, n) / (count - 1.0));
}

}  // namespace

double pairwise_sum(const double* a, std::size_t n) {
    return pairwise([a](std::size_t i) { return a[i]; }, 0, n);
}

Moments moments(std::span<const double> x) {
    // the values with gaps as 0, summed; the mean over the values present
    std::size_t present = 0;
    for (const double v : x) present += v == v;
    const auto filled = [&x](std::size_t i) { return x[i] == x[i] ? x[i] : 0.0; };
    const auto value = [&x](std::size_t i) { return x[i]; };
    const double count = static_cast<double>(present);
    const double mean = pairwise(filled, 0, x.size()) / count;
    return {mean, sample_sd(value, x.size(), mean, count)};
}

Moments moments_by_codes(std::span<const double> values, std::span<const std::int64_t> codes,
                         std::size_t present) {
    const double* v = values.data() + 1;
    const std::int64_t* c = codes.data();
    const auto filled = [v, c](std::size_t i) {
        const double x = v[c[i]];
        return x == x ? x : 0.0;
    };
    const auto value = [v, c](std::size_t i) { return v[c[i]]; };
    const double count = static_cast<double>(present);
    const double mean = pairwise(filled, 0, codes.size()) / count;
    return {mean, sample_sd(value, codes.size(), mean, count)};
}

Moments moments(std::span<const std::int64_t> x, std::size_t bufsize) {
    const std::size_t n = x.size();
    const auto value = [&x](std::size_t i) { return static_cast<double>(x[i]); };
    double mean = kNaN;
    if (n > 0 && bufsize > 0) {
        // each buffer's pairwise sum in turn
        double sum = pairwise(value, 0, std::min(bufsize, n));
        for (std::size_t s = bufsize; s < n; s += bufsize)
            sum += pairwise(value, s, std::min(bufsize, n - s));
        mean = sum / static_cast<double>(n);
    }
    // the deviation sums the converted values themselves, unbuffered
    const double count = static_cast<double>(n);
    const double avg = n > 0 ? pairwise(value, 0, n) / count : kNaN;
    return {mean, sample_sd(value, n, avg, count)};
}

}  // namespace orvalis::core
