#include "orvalis/core/elementwise.hpp"
#include "orvalis/core/radix.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvalis::core {

bool copy_flag_gaps(std::span<const double> from, std::span<double> to, bool stream) {
    const std::size_t n = from.size() < to.size() ? from.size() : to.size();
    const double* src = from.data();
    double* dst = to.data();
    bool gap = false;
    std::size_t k = 0;
#if defined(__SSE2__)
    if (stream) {
        // scalar stores up to the first 16-byte boundary of the destination, then pairs
        for (; k < n && reinterpret_cast<std::uintptr_t>(dst + k) % 16 != 0; ++k) {
            dst[k] = src[k];
            gap |= src[k] != src[k];
        }
        __m128d unordered = _mm_setzero_pd();
        for (; k + 2 <= n; k += 2) {
            const __m128d x = _mm_loadu_pd(src + k);
            _mm_stream_pd(dst + k, x);
            unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(x, x));
        }
        _mm_sfence();
        gap |= _mm_movemask_pd(unordered) != 0;
    }
#else
    (void)stream;
#endif
    for (; k < n; ++k) {
        dst[k] = src[k];
        gap |= src[k] != src[k];
    }
    return gap;
}

void copy_bytes(const void* from, void* to, std::size_t bytes, bool stream) {
    const auto* src = static_cast<const unsigned char*>(from);
    auto* dst = static_cast<unsigned char*>(to);
#if defined(__SSE2__)
    if (stream && bytes >= 64) {
        // a plain copy up to the first 16-byte boundary of the destination, then 64 bytes a step
        const std::size_t head = (16 - reinterpret_cast<std::uintptr_t>(dst) % 16) % 16;
        std::memcpy(dst, src, head);
        std::size_t k = head;
        for (; k + 64 <= bytes; k += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + k + 48), d);
        }
        _mm_sfence();
        std::memcpy(dst + k, src + k, bytes - k);
        return;
    }
#else
    (void)stream;
#endif
    if (bytes != 0) std::memcpy(dst, src, bytes);
}

void sigmoid_from_exp(std::span<const double> e, std::span<double> out) {
    const std::size_t n = e.size() < out.size() ? e.size() : out.size();
    for (std::size_t k = 0; k < n; ++k) out[k] = 1.0 / (1.0 + e[k]);
}

}  // namespace orvalis::core

namespace orvalis::core {
namespace {

// Ranks from keys that order as the values do and are equal exactly for equal values.
void rank_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows,
               std::span<double> out) {
    radix_order(keys, rows);
    const std::size_t n = keys.size();
    const double count = static_cast<double>(n);
    for (std::size_t s = 0; s < n;) {
        std::size_t e = s + 1;
        while (e < n && keys[e] == keys[s]) ++e;
        // ranks s + 1 .. e: their sum divided by their number, as pandas averages them
        const double dups = static_cast<double>(e - s);
        const double sum = dups * static_cast<double>(s) + dups * (dups + 1) / 2;
        const double rank = sum / dups / count;
        for (std::size_t k = s; k < e; ++k) out[rows[k]] = rank;
        s = e;
    }
}

}  // namespace

void percentile_rank(std::span<const double> x, std::span<double> out) {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> rows;
    keys.reserve(x.size());
    rows.reserve(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        if (std::isnan(v)) {
            out[i] = v;
            continue;
        }
        keys.push_back(double_order_key(v));
        rows.push_back(static_cast<std::uint32_t>(i));
    }
    rank_keys(keys, rows, out);
}

void percentile_rank(std::span<const std::int64_t> x, std::span<double> out) {
    std::vector<std::uint64_t> keys(x.size());
    std::vector<std::uint32_t> rows(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        keys[i] = static_cast<std::uint64_t>(x[i]) ^ (std::uint64_t{1} << 63);
        rows[i] = static_cast<std::uint32_t>(i);
    }
    rank_keys(keys, rows, out);
}

}  // namespace orvalis::core
