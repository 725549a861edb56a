#include "orvalis/core/grouping.hpp"
#include "orvalis/core/radix.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvalis::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

struct IntKeys {
    using Key = std::int64_t;
    static bool missing(Key) { return false; }
    static std::uint64_t hash(Key k) { return mix(static_cast<std::uint64_t>(k)); }
    static bool equal(Key a, Key b) { return a == b; }
};

struct FloatKeys {
    using Key = double;
    static bool missing(Key k) { return std::isnan(k); }
    static std::uint64_t hash(Key k) {
        if (k == 0.0) k = 0.0;  // -0.0 and 0.0 are one key
        return mix(std::bit_cast<std::uint64_t>(k));
    }
    static bool equal(Key a, Key b) { return a == b; }
};

struct TextKeys {
    using Key = TextKey;
    static bool missing(const Key& k) { return k.kind == 0; }
    static std::uint64_t hash(const Key& k) { return mix(static_cast<std::uint64_t>(k.hash)); }
    static bool equal(const Key& a, const Key& b) {
        return a.hash == b.hash && a.kind == b.kind && a.length == b.length &&
               (a.data == b.data ||
                std::memcmp(a.data, b.data, static_cast<std::size_t>(a.length) * a.kind) == 0);
    }
};

// Open addressing over group ids, each slot holding its key and hash inline so that a probe reads
// one place; the first row of every group is kept beside.
template <class Traits>
class GroupTable {
public:
    using Key = typename Traits::Key;

    explicit GroupTable(std::size_t expected = 16) {
        std::size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        slots_.assign(cap, Slot{});
    }

    // The group of `k`, founding a new one at `row` when absent.
    std::int64_t find_or_add(const Key& k, std::int64_t row) {
        const std::uint64_t h = Traits::hash(k);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t pos = h & mask;; pos = (pos + 1) & mask) {
            Slot& s = slots_[pos];
            if (s.group < 0) {
                const auto id = static_cast<std::int64_t>(first_.size());
                s = Slot{k, h, id};
                first_.push_back(row);
                if (first_.size() * 2 > slots_.size()) grow();
                return id;
            }
            if (s.hash == h && Traits::equal(s.key, k)) return s.group;
        }
    }

    // The group of `k`, or -1.
    std::int64_t find(const Key& k) const {
        const std::uint64_t h = Traits::hash(k);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t pos = h & mask;; pos = (pos + 1) & mask) {
            const Slot& s = slots_[pos];
            if (s.group < 0) return -1;
            if (s.hash == h && Traits::equal(s.key, k)) return s.group;
        }
    }

    std::vector<std::int64_t>& first() { return first_; }

private:
    struct Slot {
        Key key{};
        std::uint64_t hash = 0;
        std::int64_t group = -1;
    };

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2, Slot{});
        const std::size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.group < 0) continue;
            std::size_t pos = s.hash & mask;
            while (slots[pos].group >= 0) pos = (pos + 1) & mask;
            slots[pos] = s;
        }
        slots_.swap(slots);
    }

    std::vector<Slot> slots_;
    std::vector<std::int64_t> first_;
};

template <class Traits>
Factorized factorize_keys(std::span<const typename Traits::Key> keys) {
    Factorized f;
    f.codes.resize(keys.size());
    GroupTable<Traits> table;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto& k = keys[i];
        f.codes[i] = Traits::missing(k) ? -1 : table.find_or_add(k, static_cast<std::int64_t>(i));
    }
    f.first = std::move(table.first());
    return f;
}

template <class Traits>
void lookup_keys(std::span<const typename Traits::Key> uniques,
                 std::span<const typename Traits::Key> queries, std::span<std::int64_t> out) {
    if (out.size() != queries.size()) throw std::invalid_argument("lookup: sizes differ");
    GroupTable<Traits> table(uniques.size());
    for (std::size_t i = 0; i < uniques.size(); ++i)
        if (!Traits::missing(uniques[i]))
            table.find_or_add(uniques[i], static_cast<std::int64_t>(i));
    const std::vector<std::int64_t>& first = table.first();
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const auto& q = queries[i];
        if (Traits::missing(q)) {
            out[i] = -1;
            continue;
        }
        const std::int64_t g = table.find(q);
        out[i] = g < 0 ? -1 : first[static_cast<std::size_t>(g)];
    }
}

// Code point k of a text.
std::uint32_t code_point(const TextKey& t, std::int64_t k) {
    switch (t.kind) {
        case 1: return static_cast<const std::uint8_t*>(t.data)[k];
        case 2: return static_cast<const std::uint16_t*>(t.data)[k];
        default: return static_cast<const std::uint32_t*>(t.data)[k];
    }
}

bool text_less(const TextKey& a, const TextKey& b) {
    const std::int64_t n = std::min(a.length, b.length);
    if (a.kind == 1 && b.kind == 1) {
        const int c = std::memcmp(a.data, b.data, static_cast<std::size_t>(n));
        if (c != 0) return c < 0;
        return a.length < b.length;
    }
    for (std::int64_t k = 0; k < n; ++k) {
        const std::uint32_t x = code_point(a, k), y = code_point(b, k);
        if (x != y) return x < y;
    }
    return a.length < b.length;
}

template <class T, class Less>
std::vector<std::int64_t> order_by(std::span<const T> keys, Less less) {
    std::vector<std::int64_t> order(keys.size());
    std::iota(order.begin(), order.end(), std::int64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return less(keys[static_cast<std::size_t>(a)], keys[static_cast<std::size_t>(b)]);
    });
    return order;
}

std::size_t check_codes(std::span<const std::int64_t> codes, std::size_t n, std::size_t ngroups) {
    if (codes.size() != n) throw std::invalid_argument("group statistic: sizes differ");
    // the largest code, as a reduction the compiler vectorises (no exit inside the loop)
    std::int64_t top = -1;
    for (std::int64_t c : codes) top = std::max(top, c);
    if (top >= static_cast<std::int64_t>(ngroups)) throw std::invalid_argument("group code");
    return ngroups;
}

// A row's group code as an index below ngroups, checked where the kernels read it (a branch that
// is never taken, instead of a pass of its own).
std::size_t group_index(std::int64_t g, std::size_t ngroups) {
    if (static_cast<std::uint64_t>(g) >= ngroups) throw std::invalid_argument("group code");
    return static_cast<std::size_t>(g);
}

void check_sizes(std::span<const std::int64_t> codes, std::size_t n) {
    if (codes.size() != n) throw std::invalid_argument("group statistic: sizes differ");
}

}  // namespace

Factorized factorize(std::span<const std::int64_t> keys) {
    if (keys.empty()) return {};
    std::int64_t lo = keys[0], hi = keys[0];  // one pass for both
    for (std::int64_t k : keys) {
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    const auto range = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (range >= std::max<std::uint64_t>(1u << 16, 2 * keys.size()))
        return factorize_keys<IntKeys>(keys);
    // a small range of values: a direct table instead of hashing, the rows of each value counted
    // as they are numbered
    Factorized f;
    f.codes.resize(keys.size());
    std::vector<std::int64_t> slot(range + 1, -1);
    const std::int64_t base = lo;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::int64_t& g = slot[static_cast<std::uint64_t>(keys[i]) - static_cast<std::uint64_t>(base)];
        if (g < 0) {
            g = static_cast<std::int64_t>(f.first.size());
            f.first.push_back(static_cast<std::int64_t>(i));
            f.sizes.push_back(0);
        }
        ++f.sizes[static_cast<std::size_t>(g)];
        f.codes[i] = g;
    }
    return f;
}
Factorized factorize(std::span<const double> keys) { return factorize_keys<FloatKeys>(keys); }
Factorized factorize(std::span<const TextKey> keys) { return factorize_keys<TextKeys>(keys); }

Factorized factorize_addresses(std::span<const std::uint64_t> words) {
    // Open addressing by Fibonacci hashing of the word (its low 4 bits, an allocator's alignment,
    // left out), a slot holding the word and its group so that a probe reads one cache line. The
    // word 0 marks an empty slot and has a group of its own beside the table.
    struct Slot {
        std::uint64_t key;
        std::int64_t id;
    };
    auto slot_of = [](std::uint64_t k, unsigned shift) {
        return static_cast<std::size_t>(((k >> 4) * 0x9E3779B97F4A7C15ULL) >> shift);
    };
    Factorized f;
    f.codes.resize(words.size());
    std::int64_t* const codes = f.codes.data();
    unsigned bits = 10;
    std::vector<Slot> table(std::size_t{1} << bits, Slot{0, -1});
    Slot* slots = table.data();
    std::size_t mask = table.size() - 1;
    unsigned shift = 64 - bits;
    // at most an eighth full while the table is small (few probes collide), half beyond
    std::size_t grow_at = table.size() / 8;
    std::int64_t zero_group = -1;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint64_t k = words[i];
        std::size_t pos = slot_of(k, shift);
        while (slots[pos].key != k && slots[pos].key != 0) pos = (pos + 1) & mask;
        if (slots[pos].key == k && k != 0) {
            codes[i] = slots[pos].id;
            ++f.sizes[static_cast<std::size_t>(slots[pos].id)];
            continue;
        }
        const auto id = static_cast<std::int64_t>(f.first.size());
        if (k == 0) {
            if (zero_group < 0) {
                zero_group = id;
                f.first.push_back(static_cast<std::int64_t>(i));
                f.sizes.push_back(0);
            }
            codes[i] = zero_group;
            ++f.sizes[static_cast<std::size_t>(zero_group)];
            continue;
        }
        slots[pos] = Slot{k, id};
        f.first.push_back(static_cast<std::int64_t>(i));
        f.sizes.push_back(1);
        codes[i] = id;
        if (f.first.size() > grow_at) {
            ++bits;
            std::vector<Slot> grown(std::size_t{1} << bits, Slot{0, -1});
            mask = grown.size() - 1;
            shift = 64 - bits;
            for (const Slot& s : table) {
                if (s.key == 0) continue;
                std::size_t q = slot_of(s.key, shift);
                while (grown[q].key != 0) q = (q + 1) & mask;
                grown[q] = s;
            }
            table.swap(grown);
            slots = table.data();
            grow_at = table.size() / (table.size() < (std::size_t{1} << 16) ? 8 : 2);
        }
    }
    return f;
}

Factorized factorize_pairs(std::span<const std::int64_t> a, std::int64_t na,
                           std::span<const std::int64_t> b, std::int64_t nb) {
    if (a.size() != b.size()) throw std::invalid_argument("factorize_pairs: sizes differ");
    if (na < 0 || nb < 0) throw std::invalid_argument("factorize_pairs: code counts");
    // the pair's number, or -1 when either code is missing; a code past its count is refused
    // before it can index anything
    auto checked = [&](std::size_t i) {
        if (a[i] >= na || b[i] >= nb)
            throw std::invalid_argument("factorize_pairs: code outside [0, na) or [0, nb)");
    };
    auto pair = [&](std::size_t i) {
        checked(i);
        return a[i] >= 0 && b[i] >= 0 ? a[i] * nb + b[i] : -1;
    };
    Factorized f;
    f.codes.resize(a.size());
    const auto limit = std::max<std::int64_t>(1 << 16, static_cast<std::int64_t>(2 * a.size()));
    if (nb > 0 && na <= limit / nb) {
        // every pair fits a direct table; its rows are counted as they are numbered
        std::vector<std::int64_t> slot(static_cast<std::size_t>(na * nb), -1);
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::int64_t p = pair(i);
            if (p < 0) {
                f.codes[i] = -1;
                continue;
            }
            std::int64_t& g = slot[static_cast<std::size_t>(p)];
            if (g < 0) {
                g = static_cast<std::int64_t>(f.first.size());
                f.first.push_back(static_cast<std::int64_t>(i));
                f.sizes.push_back(0);
            }
            ++f.sizes[static_cast<std::size_t>(g)];
            f.codes[i] = g;
        }
        return f;
    }
    GroupTable<IntKeys> table;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::int64_t p = pair(i);
        f.codes[i] = p < 0 ? -1 : table.find_or_add(p, static_cast<std::int64_t>(i));
    }
    f.first = std::move(table.first());
    return f;
}

void lookup(std::span<const std::int64_t> uniques, std::span<const std::int64_t> queries,
            std::span<std::int64_t> out) {
    lookup_keys<IntKeys>(uniques, queries, out);
}
void lookup(std::span<const double> uniques, std::span<const double> queries,
            std::span<std::int64_t> out) {
    lookup_keys<FloatKeys>(uniques, queries, out);
}
void lookup(std::span<const TextKey> uniques, std::span<const TextKey> queries,
            std::span<std::int64_t> out) {
    lookup_keys<TextKeys>(uniques, queries, out);
}

std::vector<std::int64_t> sorted_order(std::span<const std::int64_t> keys) {
    return order_by(keys, std::less<std::int64_t>());
}
std::vector<std::int64_t> sorted_order(std::span<const double> keys) {
    return order_by(keys, std::less<double>());
}
std::vector<std::int64_t> sorted_order(std::span<const TextKey> keys) {
    return order_by(keys, text_less);
}

std::vector<std::int64_t> group_sizes(std::span<const std::int64_t> codes, std::size_t ngroups) {
    std::vector<std::int64_t> sizes(ngroups, 0);
    for (std::int64_t c : codes)
        if (c >= 0) ++sizes[group_index(c, ngroups)];
    return sizes;
}

namespace {

template <class T, bool Max>
void min_max(std::span<const T> x, std::span<const std::int64_t> codes, std::span<T> out) {
    check_sizes(codes, x.size());
    const T init = Max ? (std::is_floating_point_v<T> ? -std::numeric_limits<T>::infinity()
                                                       : std::numeric_limits<T>::min())
                       : (std::is_floating_point_v<T> ? std::numeric_limits<T>::infinity()
                                                       : std::numeric_limits<T>::max());
    std::fill(out.begin(), out.end(), init);
    // a NaN compares false, so it never replaces the extreme: no test of its own
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t g = codes[i];
        if (g < 0) continue;
        const T v = x[i];
        const auto gi = group_index(g, out.size());
        if (Max ? v > out[gi] : v < out[gi]) out[gi] = v;
    }
    if constexpr (std::is_floating_point_v<T>) {
        // A group still at the start value saw no value other than that infinity, or none at
        // all (NaN for pandas): rare, so only then are its rows read again.
        std::vector<std::uint8_t> held(out.size(), 0);
        bool any = false;
        for (std::size_t g = 0; g < out.size(); ++g) any |= held[g] = out[g] == init;
        if (!any) return;
        std::vector<std::uint8_t> seen(out.size(), 0);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const std::int64_t g = codes[i];
            if (g >= 0 && x[i] == init) seen[static_cast<std::size_t>(g)] = 1;
        }
        for (std::size_t g = 0; g < out.size(); ++g)
            if (held[g] && !seen[g]) out[g] = kNaN;
    }
}

}  // namespace

void group_min(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out) {
    min_max<double, false>(x, codes, out);
}
void group_max(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out) {
    min_max<double, true>(x, codes, out);
}
void group_min(std::span<const std::int64_t> x, std::span<const std::int64_t> codes,
               std::span<std::int64_t> out) {
    min_max<std::int64_t, false>(x, codes, out);
}
void group_max(std::span<const std::int64_t> x, std::span<const std::int64_t> codes,
               std::span<std::int64_t> out) {
    min_max<std::int64_t, true>(x, codes, out);
}

void group_mean(std::span<const double> x, std::span<const std::int64_t> codes,
                std::span<double> out) {
    check_sizes(codes, x.size());
    std::vector<std::int64_t> nobs(out.size(), 0);
    std::vector<double> sum(out.size(), 0.0), comp(out.size(), 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t g = codes[i];
        const double v = x[i];
        if (g < 0 || v != v) continue;
        const auto gi = group_index(g, out.size());
        ++nobs[gi];
        const double y = v - comp[gi];
        const double t = sum[gi] + y;
        comp[gi] = t - sum[gi] - y;
        if (comp[gi] != comp[gi]) comp[gi] = 0.0;  // an infinite value: keep the sum infinite
        sum[gi] = t;
    }
    for (std::size_t g = 0; g < out.size(); ++g)
        out[g] = nobs[g] == 0 ? kNaN : sum[g] / static_cast<double>(nobs[g]);
}

void group_var(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out) {
    check_sizes(codes, x.size());
    std::vector<std::int64_t> nobs(out.size(), 0);
    std::vector<double> mean(out.size(), 0.0);
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t g = codes[i];
        const double v = x[i];
        if (g < 0 || v != v) continue;
        const auto gi = group_index(g, out.size());
        ++nobs[gi];
        const double old = mean[gi];
        mean[gi] += (v - old) / static_cast<double>(nobs[gi]);
        out[gi] += (v - mean[gi]) * (v - old);
    }
    for (std::size_t g = 0; g < out.size(); ++g)
        out[g] = nobs[g] <= 1 ? kNaN : out[g] / static_cast<double>(nobs[g] - 1);
}

namespace {

// The k-th smallest of a[0 .. n), a reordered so that a[0 .. k) <= a[k]: quickselect with a
// branch-free partition (values below the pivot moved to the front, then those equal to it),
// std::nth_element for what is left when the partitions stop shrinking the range fast enough.
double select_kth(double* a, std::size_t n, std::size_t k) {
    for (int rounds = 64; n > 16 && rounds > 0; --rounds) {
        const double x = a[0], y = a[n / 2], z = a[n - 1];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        std::size_t lt = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = a[i];
            const bool below = v < pivot;
            a[i] = a[lt];
            a[lt] = v;
            lt += below;
        }
        if (k < lt) {
            n = lt;
            continue;
        }
        std::size_t le = lt;
        for (std::size_t i = lt; i < n; ++i) {
            const double v = a[i];
            const bool equal = v <= pivot;
            a[i] = a[le];
            a[le] = v;
            le += equal;
        }
        if (k < le) return pivot;
        a += le;
        n -= le;
        k -= le;
    }
    std::nth_element(a, a + k, a + n);
    return a[k];
}

// The largest of a[0 .. n), n > 0 (no NaN among them), as a reduction the compiler vectorises.
double largest(const double* a, std::size_t n) {
    double m = a[0];
    for (std::size_t i = 1; i < n; ++i) m = std::max(m, a[i]);
    return m;
}

// The median of n values, given `v`: those of ranks below .. below + v.size() - 1, in no order
// (reordered here).
double middle_of(std::span<double> v, std::size_t below, std::size_t n) {
    if (n == 0) return kNaN;
    const std::size_t at = n / 2 - below;
    const double upper = select_kth(v.data(), v.size(), at);
    if (n % 2) return upper;
    // the values before the upper one are now all <= it: the lower middle is their largest
    return (largest(v.data(), at) + upper) / 2;
}

// The median by the keys' top 16 bits: the buckets of the two middle values, then a selection
// among the values of those buckets only. Two passes whatever the values.
double median_by_buckets(std::span<const double> x) {
    std::vector<std::size_t> hist(1 << 16, 0);
    std::size_t n = 0;
    for (double d : x)
        if (d == d) {
            ++hist[double_order_key(d) >> 48];
            ++n;
        }
    if (n == 0) return kNaN;
    const std::size_t hi = n / 2, lo = n % 2 ? hi : hi - 1;  // ranks of the middle values
    std::size_t below = 0, b_lo = 0, b_hi = 0, below_lo = 0;
    bool found_lo = false;
    for (std::size_t b = 0; b < hist.size(); ++b) {
        if (!found_lo && below + hist[b] > lo) {
            b_lo = b;
            below_lo = below;
            found_lo = true;
        }
        if (below + hist[b] > hi) {
            b_hi = b;
            break;
        }
        below += hist[b];
    }
    std::vector<double> v;
    v.reserve(hist[b_lo] + (b_hi != b_lo ? hist[b_hi] : 0));
    for (double d : x)
        if (d == d) {
            const std::size_t b = double_order_key(d) >> 48;
            if (b == b_lo || b == b_hi) v.push_back(d);
        }
    return middle_of(v, below_lo, n);
}

struct Bracketed {
    std::size_t n;      // values that are not NaN
    std::size_t below;  // values below the bracket
    std::size_t kept;   // values inside it, written to the front of `out`
};

// One pass over x for the bracket [lo, hi]. The counts are taken two values at a time; a value
// inside is written at the end of the kept ones whether it is kept or not, so only the pages
// that end up written are ever touched, and `out` needs room for x.size() values. `Dense`: many
// values fall inside (a bracket over a small group, in cache), so the stores are made for every
// pair instead of behind a branch that would then be mispredicted half the time.
template <bool Dense>
Bracketed bracket(std::span<const double> x, double lo, double hi, double* out) {
    std::size_t gaps = 0, below = 0, kept = 0, k = 0;
    const double* v = x.data();
#if defined(__SSE2__)
    const __m128d vlo = _mm_set1_pd(lo), vhi = _mm_set1_pd(hi);
    __m128i gap2 = _mm_setzero_si128(), below2 = _mm_setzero_si128();
    for (; k + 2 <= x.size(); k += 2) {
        const __m128d d = _mm_loadu_pd(v + k);
        // a true comparison is all ones, -1 as an integer: subtracting it counts one
        gap2 = _mm_sub_epi64(gap2, _mm_castpd_si128(_mm_cmpunord_pd(d, d)));
        below2 = _mm_sub_epi64(below2, _mm_castpd_si128(_mm_cmplt_pd(d, vlo)));
        const int inside =
            _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd(d, vlo), _mm_cmple_pd(d, vhi)));
        if (Dense || inside != 0) {
            out[kept] = v[k];
            kept += static_cast<std::size_t>(inside & 1);
            out[kept] = v[k + 1];
            kept += static_cast<std::size_t>(inside >> 1);
        }
    }
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), gap2);
    gaps = lanes[0] + lanes[1];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), below2);
    below = lanes[0] + lanes[1];
#endif
    for (; k < x.size(); ++k) {
        const double d = v[k];
        gaps += d != d;
        below += d < lo;
        out[kept] = d;
        kept += (d >= lo) & (d <= hi);
    }
    return {x.size() - gaps, below, kept};
}

// The median of a group's n values, given `a`: those of ranks below .. below + len - 1 among
// them (no NaN, in no order; reordered here), `spare` room for len values. While many are left,
// the middle values are bracketed between two quantiles of a sample of them, and only the values
// inside the bracket are kept for the next round: one pass over them, the kept ones a fraction of
// them. Where the sample misses, the selection is made among the values the round was given
// (left as they were).
double group_middle(double* a, std::size_t len, std::size_t below, std::size_t n, double* spare) {
    constexpr std::size_t kSample = 64;
    // two and a half standard deviations of the middle's rank in the sample on either side
    constexpr std::size_t kMargin = 10;
    const std::size_t upper = n / 2, lower = n % 2 ? upper : upper - 1;
    while (len >= 4 * kSample) {
        double sample[kSample];
        const std::size_t stride = len / kSample;
        for (std::size_t j = 0; j < kSample; ++j) sample[j] = a[j * stride + stride / 2];
        const std::size_t mid = (upper - below) * kSample / len;
        const std::size_t from = mid > kMargin ? mid - kMargin : 0;
        const std::size_t to = std::min(kSample - 1, mid + kMargin);
        // the branch-free selection: a sample's comparisons are as unpredictable as they come
        const double lo = select_kth(sample, kSample, from);
        const double hi = select_kth(sample + from, kSample - from, to - from);
        const Bracketed in = bracket<true>({a, len}, lo, hi, spare);
        if (below + in.below > lower || below + in.below + in.kept <= upper) break;
        const bool shrunk = in.kept <= len / 2;
        below += in.below;
        len = in.kept;
        std::swap(a, spare);
        if (!shrunk) break;  // a crowd of equal values: the bracket cannot narrow it
    }
    return middle_of({a, len}, below, n);
}

}  // namespace

double median(std::span<const double> x) {
    // A sample of the values brackets the middle ones between two of its quantiles; one pass
    // then counts the values below the bracket and keeps those inside it, among which the middle
    // ones are selected. A sample that misses (ranks outside the bracket: skewed by the order of
    // the rows) leaves it to the bucket method, so the result never depends on the sample.
    constexpr std::size_t kSample = 8192;
    const std::size_t rows = x.size();
    if (rows < 8 * kSample) {
        std::vector<double> v;
        v.reserve(rows);
        for (double d : x)
            if (d == d) v.push_back(d);
        return middle_of(v, 0, v.size());
    }
    std::vector<double> sample;
    sample.reserve(kSample);
    const std::size_t stride = rows / kSample;
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (std::size_t k = 0; k < kSample; ++k) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double d = x[k * stride + static_cast<std::size_t>((state >> 33) % stride)];
        if (d == d) sample.push_back(d);
    }
    if (sample.size() < kSample / 4) return median_by_buckets(x);  // mostly gaps
    // four standard deviations of the middle's rank in the sample on either side
    const std::size_t s = sample.size();
    const auto margin = static_cast<std::size_t>(2.0 * std::sqrt(static_cast<double>(s))) + 1;
    auto at = [&](std::size_t rank) {
        std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(rank),
                         sample.end());
        return sample[rank];
    };
    const double lo_v = at(s / 2 > margin ? s / 2 - margin : 0);
    const double hi_v = at(std::min(s - 1, s / 2 + margin));
    std::unique_ptr<double[]> buffer(new double[rows]);
    const auto [n, below, kept] = bracket<false>(x, lo_v, hi_v, buffer.get());
    if (n == 0) return kNaN;
    const std::size_t hi = n / 2, lo = n % 2 ? hi : hi - 1;
    if (below > lo || below + kept <= hi) return median_by_buckets(x);
    return middle_of({buffer.get(), kept}, below, n);
}

void group_median(std::span<const double> x, std::span<const std::int64_t> codes,
                  std::span<double> out, std::span<const std::int64_t> sizes) {
    const std::size_t ng = out.size();
    if (sizes.size() != ng) throw std::invalid_argument("group_median: one size per group");
    check_sizes(codes, x.size());
    // every row with a group and a value bucketed by group in one pass, then a selection within
    // each bucket
    std::vector<std::size_t> bounds(ng + 1, 0);
    for (std::size_t g = 0; g < ng; ++g) {
        if (sizes[g] < 0 || static_cast<std::size_t>(sizes[g]) > x.size() - bounds[g])
            throw std::invalid_argument("group_median: group sizes");
        bounds[g + 1] = bounds[g] + static_cast<std::size_t>(sizes[g]);
    }
    // only the front of each bucket, up to its cursor, is written and read
    std::unique_ptr<double[]> v(new double[bounds[ng] + 1]);
    std::vector<std::size_t> next(bounds.begin(), bounds.end() - 1);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0) continue;
        const std::size_t b = group_index(c, ng);
        std::size_t& at = next[b];
        if (at == bounds[b + 1])
            throw std::invalid_argument("group_median: group sizes");
        // a gap is written where the next value goes, and left behind
        const double y = x[i];
        v[at] = y;
        at += y == y;
    }
    std::size_t most = 0;
    for (std::size_t g = 0; g < ng; ++g) most = std::max(most, next[g] - bounds[g]);
    std::unique_ptr<double[]> spare(new double[most + 1]);
    for (std::size_t g = 0; g < ng; ++g) {
        double* a = v.get() + bounds[g];
        const std::size_t n = next[g] - bounds[g];
        out[g] = n == 0 ? kNaN : group_middle(a, n, 0, n, spare.get());
    }
}

namespace {

// group_nunique with indexes of type I (rows, ids and groups all below its range): each id's
// groups in turn, the rows bucketed by id; a group counts an id once, the id it counted last kept
// beside it. The buckets and the groups' marks are small next to the rows' columns.
template <class I>
void nunique_by_ids(std::span<const std::int64_t> codes, std::span<const std::int64_t> ids,
                    std::size_t nids, std::int64_t base, std::span<std::int64_t> out) {
    const std::size_t ng = out.size();
    // the id of row i less `base`, or nids for a row without an id or a group
    auto id_of = [&](std::size_t i) -> std::size_t {
        const std::int64_t c = codes[i];
        if (c >= 0 && static_cast<std::size_t>(c) >= ng)
            throw std::invalid_argument("group_nunique: group code");
        if (c < 0 || ids[i] < base) return nids;
        const auto d = static_cast<std::uint64_t>(ids[i]) - static_cast<std::uint64_t>(base);
        if (d >= nids) throw std::invalid_argument("group_nunique: id code");
        return static_cast<std::size_t>(d);
    };
    std::vector<I> start(nids + 2, 0);
    for (std::size_t i = 0; i < ids.size(); ++i) ++start[id_of(i) + 1];
    for (std::size_t d = 0; d <= nids; ++d) start[d + 1] += start[d];
    std::vector<I> next(start.begin(), start.end() - 1);
    // every slot is written: the rows fill the buckets exactly
    std::unique_ptr<I[]> groups(new I[ids.size()]);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::size_t d = id_of(i);
        groups[next[d]++] = static_cast<I>(d == nids ? 0 : codes[i]);
    }
    std::vector<I> counted_for(ng, static_cast<I>(nids));
    std::fill(out.begin(), out.end(), 0);
    for (std::size_t d = 0; d < nids; ++d)
        for (I k = start[d]; k < start[d + 1]; ++k) {
            I& last = counted_for[groups[k]];
            out[groups[k]] += last != static_cast<I>(d);
            last = static_cast<I>(d);
        }
}

// group_nunique for ids few enough that a mark per id stays in the core's cache: the rows' ids
// bucketed by group (the groups' sizes known), then each group's ids marked with the group that
// saw them last. Rows, ids and groups all fit 32 bits.
void nunique_by_groups(std::span<const std::int64_t> codes, std::span<const std::int64_t> ids,
                       std::size_t nids, std::int64_t base, std::span<std::int64_t> out,
                       std::span<const std::int64_t> sizes) {
    const std::size_t ng = out.size();
    std::vector<std::uint32_t> bounds(ng + 1, 0);
    for (std::size_t g = 0; g < ng; ++g) {
        if (sizes[g] < 0 || static_cast<std::size_t>(sizes[g]) > ids.size() - bounds[g])
            throw std::invalid_argument("group_nunique: group sizes");
        bounds[g + 1] = bounds[g] + static_cast<std::uint32_t>(sizes[g]);
    }
    // only the front of each bucket, up to its cursor, is written and read
    std::unique_ptr<std::uint32_t[]> bucketed(new std::uint32_t[bounds[ng] + 1]);
    std::vector<std::uint32_t> next(bounds.begin(), bounds.end() - 1);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0 || ids[i] < base) continue;
        const std::size_t b = group_index(c, ng);
        const auto d = static_cast<std::uint64_t>(ids[i]) - static_cast<std::uint64_t>(base);
        if (d >= nids) throw std::invalid_argument("group_nunique: id code");
        std::uint32_t& at = next[b];
        if (at == bounds[b + 1]) throw std::invalid_argument("group_nunique: group sizes");
        bucketed[at++] = static_cast<std::uint32_t>(d);
    }
    std::vector<std::uint32_t> marked_by(nids, static_cast<std::uint32_t>(ng));
    for (std::size_t g = 0; g < ng; ++g) {
        const auto mark = static_cast<std::uint32_t>(g);
        std::int64_t distinct = 0;
        for (std::uint32_t k = bounds[g]; k < next[g]; ++k) {
            std::uint32_t& last = marked_by[bucketed[k]];
            distinct += last != mark;
            last = mark;
        }
        out[g] = distinct;
    }
}

}  // namespace

void group_nunique(std::span<const std::int64_t> codes, std::span<const std::int64_t> ids,
                   std::int64_t nids, std::span<std::int64_t> out, std::int64_t base,
                   std::span<const std::int64_t> sizes) {
    check_sizes(codes, ids.size());
    if (nids < 0) throw std::invalid_argument("group_nunique: id count");
    if (!sizes.empty() && sizes.size() != out.size())
        throw std::invalid_argument("group_nunique: one size per group");
    const auto m = static_cast<std::size_t>(nids);
    constexpr auto small = static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max() - 2);
    if (!sizes.empty() && m <= (std::size_t{1} << 18) && ids.size() < small && out.size() < small)
        nunique_by_groups(codes, ids, m, base, out, sizes);
    else if (ids.size() < small && m < small)
        nunique_by_ids<std::uint32_t>(codes, ids, m, base, out);
    else
        nunique_by_ids<std::size_t>(codes, ids, m, base, out);
}

namespace {

struct KeyedRow {
    std::uint64_t key;
    std::uint64_t row;
};

bool by_key(const KeyedRow& x, const KeyedRow& y) { return x.key < y.key; }

// A group's keys in ascending order, each with its index in `keys`, into `out` (equal keys in any
// order: they share a rank); `spare` is as long as `out`. The keys' offsets from the smallest
// are ordered by their top two digits, of about log2(rows) bits each (16 at most), by two
// counting passes. That leaves keys that share both digits (few, for all but clustered keys) to
// one insertion pass; should that pass move too much, a comparison sort finishes the group
// instead. Every pass is over rows the cache holds, and none but the last branches on the keys.
void order_keyed(std::span<const std::uint64_t> keys, std::span<KeyedRow> out,
                 std::span<KeyedRow> spare, std::vector<std::size_t>& count) {
    const std::size_t m = keys.size();
    if (m < 64) {
        for (std::size_t j = 0; j < m; ++j) out[j] = {keys[j], j};
        std::sort(out.begin(), out.end(), by_key);
        return;
    }
    std::uint64_t lo = keys[0], hi = keys[0];
    for (const std::uint64_t k : keys) {
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    // digit values: 2^bits >= m, up to 2^16 so that the counts stay in cache for a large group
    const int bits = std::min(static_cast<int>(std::bit_width(std::bit_ceil(m))) - 1, 16);
    const std::size_t nb = std::size_t{1} << bits;
    const int width = std::bit_width(hi - lo);
    const int shift = width > bits ? width - bits : 0;  // the top digit
    if (shift == 0) {  // the offsets are the top digit: one counting pass orders them
        count.assign(nb + 1, 0);
        for (const std::uint64_t k : keys) ++count[k - lo + 1];
        for (std::size_t b = 0; b < nb; ++b) count[b + 1] += count[b];
        for (std::size_t j = 0; j < m; ++j) out[count[keys[j] - lo]++] = {keys[j], j};
        return;
    }
    const int shift_low = shift > bits ? shift - bits : 0;  // the digit below it
    const std::uint64_t low_mask = (std::uint64_t{1} << (shift - shift_low)) - 1;
    count.assign(2 * (nb + 1), 0);
    std::size_t* const low = count.data();
    std::size_t* const top = low + nb + 1;
    for (const std::uint64_t k : keys) {
        ++low[(((k - lo) >> shift_low) & low_mask) + 1];
        ++top[((k - lo) >> shift) + 1];
    }
    for (std::size_t b = 0; b < nb; ++b) {
        low[b + 1] += low[b];
        top[b + 1] += top[b];
    }
    for (std::size_t j = 0; j < m; ++j)
        spare[low[((keys[j] - lo) >> shift_low) & low_mask]++] = {keys[j], j};
    for (std::size_t j = 0; j < m; ++j) out[top[(spare[j].key - lo) >> shift]++] = spare[j];
    if (shift_low == 0) return;
    std::size_t moved = 0;
    for (std::size_t i = 1; i < m; ++i) {
        const KeyedRow v = out[i];
        if (!(v.key < out[i - 1].key)) continue;
        std::size_t j = i;
        do {
            out[j] = out[j - 1];
            --j;
        } while (j > 0 && v.key < out[j - 1].key);
        out[j] = v;
        moved += i - j;
        if (moved > 8 * m) {
            std::sort(out.begin(), out.end(), by_key);
            return;
        }
    }
}

}  // namespace

void group_rank(std::span<const double> x, std::span<const std::int64_t> codes,
                std::size_t ngroups, std::span<double> out) {
    check_codes(codes, x.size(), ngroups);
    if (out.size() != x.size()) throw std::invalid_argument("group_rank: sizes differ");
    // The present values' order keys are bucketed by group in row order (a row without either
    // has no rank). Each bucket is ranked where it stays in cache, its ranks written over its
    // keys; a last pass in row order takes each row's rank from its group's bucket in the order
    // the keys went in, so neither pass writes rows out of order across the whole table.
    std::vector<std::size_t> bounds(ngroups + 1, 0);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (codes[i] >= 0 && x[i] == x[i]) ++bounds[static_cast<std::size_t>(codes[i]) + 1];
    for (std::size_t g = 0; g < ngroups; ++g) bounds[g + 1] += bounds[g];
    std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[bounds[ngroups] + 1]);
    std::vector<std::size_t> next(bounds.begin(), bounds.end() - 1);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (codes[i] >= 0 && x[i] == x[i])
            keys[next[static_cast<std::size_t>(codes[i])]++] = double_order_key(x[i]);
    std::size_t largest = 0;
    for (std::size_t g = 0; g < ngroups; ++g) largest = std::max(largest, bounds[g + 1] - bounds[g]);
    std::unique_ptr<KeyedRow[]> sorted(new KeyedRow[2 * largest + 1]);
    std::vector<std::size_t> count;
    for (std::size_t g = 0; g < ngroups; ++g) {
        const std::size_t m = bounds[g + 1] - bounds[g];
        std::uint64_t* const bucket = keys.get() + bounds[g];
        const std::span<KeyedRow> r(sorted.get(), m);
        order_keyed({bucket, m}, r, {sorted.get() + largest, m}, count);
        for (std::size_t s = 0; s < r.size();) {
            std::size_t e = s + 1;
            while (e < r.size() && r[e].key == r[s].key) ++e;
            // ranks s + 1 .. e share their mean, (s + 1 + e) / 2: exact, as their sum over their
            // count is
            const auto rank = std::bit_cast<std::uint64_t>(0.5 * static_cast<double>(s + 1 + e));
            for (std::size_t k = s; k < e; ++k) bucket[r[k].row] = rank;
            s = e;
        }
    }
    std::copy(bounds.begin(), bounds.end() - 1, next.begin());
    for (std::size_t i = 0; i < x.size(); ++i)
        out[i] = codes[i] >= 0 && x[i] == x[i]
                     ? std::bit_cast<double>(keys[next[static_cast<std::size_t>(codes[i])]++])
                     : kNaN;
}

}  // namespace orvalis::core
