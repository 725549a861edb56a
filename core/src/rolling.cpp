#include "orvalis/core/rolling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "orvalis/core/kahan.hpp"

namespace orvalis::core {
namespace {

// Row of the i-th value of a series: the series is either the whole table in order or a run of
// `order`.
// `ahead(i, len, in, out)` asks for the rows a few steps on: a gathered series reads and writes
// scattered rows, and the kernels' work per row is too short to hide the memory latency.
struct Contiguous {
    std::size_t operator[](std::size_t i) const { return i; }
    void ahead(std::size_t, std::size_t, const double*, double*, const double* = nullptr) const {}
};
struct Gathered {
    static constexpr std::size_t kAhead = 16;
    const std::int64_t* rows;
    std::size_t operator[](std::size_t i) const { return static_cast<std::size_t>(rows[i]); }
    void ahead(std::size_t i, std::size_t len, const double* in, double* out,
               const double* in2 = nullptr) const {
        if (i + kAhead >= len) return;
        const auto r = static_cast<std::size_t>(rows[i + kAhead]);
        __builtin_prefetch(in + r);
        __builtin_prefetch(out + r, 1);
        if (in2) __builtin_prefetch(in2 + r);
    }
};

// The rolling statistics see +-inf as missing.
inline double finite_or_nan(double v) { return std::isfinite(v) ? v : kNaN; }

// A window length that keeps index arithmetic in range: anything longer than the series
// behaves like len + 1.
inline std::int64_t clamp_window(std::int64_t window, std::size_t len) {
    const auto cap = static_cast<std::int64_t>(len) + 1;
    return window > cap ? cap : window;
}

void check_layout(const SeriesLayout& layout, std::size_t n) {
    if (layout.order.empty()) {
        if (!layout.bounds.empty() && n != 0)
            throw std::invalid_argument("series bounds without a row order");
        return;
    }
    if (layout.order.size() != n || layout.bounds.empty() || layout.bounds.front() != 0)
        throw std::invalid_argument("row order does not match the column");
    for (std::size_t k = 1; k < layout.bounds.size(); ++k)
        if (layout.bounds[k] < layout.bounds[k - 1])
            throw std::invalid_argument("series bounds out of order");
    if (layout.bounds.back() > static_cast<std::int64_t>(n))
        throw std::invalid_argument("series bounds past the last row");
    for (std::int64_t r : layout.order)
        if (r < 0 || r >= static_cast<std::int64_t>(n))
            throw std::invalid_argument("row order names a row past the column");
}

void check_sizes(std::size_t x, std::size_t out, const SeriesLayout& layout) {
    if (x != out) throw std::invalid_argument("input and output differ in length");
    check_layout(layout, x);
}

// Calls f(rows, len) once per series; rows without a series get NaN.
template <class F>
void for_each_series(const SeriesLayout& layout, std::size_t n, std::span<double> out, F&& f) {
    if (layout.order.empty()) {
        if (n > 0) f(Contiguous{}, n);
        return;
    }
    const std::size_t groups = layout.bounds.size() - 1;
    for (std::size_t k = 0; k < groups; ++k) {
        const auto b = static_cast<std::size_t>(layout.bounds[k]);
        const auto e = static_cast<std::size_t>(layout.bounds[k + 1]);
        if (e > b) f(Gathered{layout.order.data() + b}, e - b);
    }
    for (auto i = static_cast<std::size_t>(layout.bounds.back()); i < layout.order.size(); ++i)
        out[static_cast<std::size_t>(layout.order[i])] = kNaN;
}

template <class Rows>
void fill(Rows rows, std::size_t len, double value, std::span<double> out) {
    for (std::size_t i = 0; i < len; ++i) out[rows[i]] = value;
}

// ---- shift / diff ---------------------------------------------------------------------------

template <bool Diff>
void shift_impl(std::span<const double> x, const SeriesLayout& layout, std::int64_t periods,
                std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        const auto slen = static_cast<std::int64_t>(len);
        if (periods >= slen || periods <= -slen) {
            fill(rows, len, kNaN, out);
            return;
        }
        if constexpr (std::is_same_v<decltype(rows), Contiguous>) {
            // The whole table: a block copy (or difference) and a NaN edge.
            const auto p = static_cast<std::size_t>(periods < 0 ? -periods : periods);
            const std::size_t keep = len - p;
            double* dst = out.data() + (periods >= 0 ? p : 0);
            const double* src = x.data() + (periods >= 0 ? 0 : p);
            const double* here = x.data() + (periods >= 0 ? p : 0);
            if constexpr (Diff) {
                for (std::size_t k = 0; k < keep; ++k) dst[k] = here[k] - src[k];
            } else {
                std::copy(src, src + keep, dst);
            }
            double* edge = out.data() + (periods >= 0 ? 0 : keep);
            std::fill(edge, edge + p, kNaN);
            return;
        }
        for (std::int64_t i = 0; i < slen; ++i) {
            rows.ahead(static_cast<std::size_t>(i), len, x.data(), out.data());
            const std::int64_t src = i - periods;
            const double here = x[rows[static_cast<std::size_t>(i)]];
            double v = kNaN;
            if (src >= 0 && src < slen) {
                const double before = x[rows[static_cast<std::size_t>(src)]];
                v = Diff ? here - before : before;
            }
            out[rows[static_cast<std::size_t>(i)]] = v;
        }
    });
}

// ---- sum / mean / std -----------------------------------------------------------------------

// Runs an accumulator with add/remove along each series. A window of one row starts afresh at
// every row, as a window that shares no row with the previous one does.
template <class Acc, class Emit>
void running(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
             std::span<double> out, Emit emit) {
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        const std::int64_t w = clamp_window(window, len);
        Acc acc;
        for (std::size_t i = 0; i < len; ++i) {
            rows.ahead(i, len, x.data(), out.data());
            if (w == 1) {
                acc = Acc{};
            } else if (static_cast<std::int64_t>(i) >= w) {
                acc.remove(finite_or_nan(x[rows[i - static_cast<std::size_t>(w)]]));
            }
            acc.add(finite_or_nan(x[rows[i]]));
            out[rows[i]] = emit(acc, w);
        }
    });
}

// A window of no rows: the empty sum is 0, every other statistic is missing.
void empty_window(const SeriesLayout& layout, std::size_t n, double value, std::span<double> out) {
    for_each_series(layout, n, out,
                    [&](auto rows, std::size_t len) { fill(rows, len, value, out); });
}

// ---- max / min / argmax / argmin ------------------------------------------------------------

// Fixed-capacity ring buffer used as a monotonic deque of (position, value).
class MonoDeque {
public:
    explicit MonoDeque(std::size_t capacity) : slots_(capacity) {}
    void clear() { head_ = size_ = 0; }
    bool empty() const { return size_ == 0; }
    const std::pair<std::int64_t, double>& front() const { return slots_[head_]; }
    const std::pair<std::int64_t, double>& back() const { return slots_[at(size_ - 1)]; }
    void pop_front() {
        head_ = at(1);
        --size_;
    }
    void pop_back() { --size_; }
    void push_back(std::int64_t pos, double v) { slots_[at(size_++)] = {pos, v}; }

private:
    std::size_t at(std::size_t k) const {
        const std::size_t j = head_ + k;
        return j >= slots_.size() ? j - slots_.size() : j;
    }
    std::vector<std::pair<std::int64_t, double>> slots_;
    std::size_t head_ = 0, size_ = 0;
};

// Extreme of each window via a monotonic deque. `Wins(a, b)`: value a, newer, evicts an older b.
// Max/min keep the newest of equal values, argmax/argmin the oldest (their first position).
template <bool Position, class Wins>
void extreme(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
             std::span<double> out, Wins wins) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) {
        empty_window(layout, x.size(), kNaN, out);
        return;
    }
    const std::size_t longest = longest_series(layout, x.size());
    MonoDeque q(std::min<std::size_t>(static_cast<std::size_t>(window), longest) + 1);
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        const std::int64_t w = clamp_window(window, len);
        q.clear();
        std::int64_t last_missing = -w - 1;
        for (std::size_t u = 0; u < len; ++u) {
            rows.ahead(u, len, x.data(), out.data());
            const auto i = static_cast<std::int64_t>(u);
            const double v = x[rows[u]];
            if (!std::isfinite(v)) {
                last_missing = i;
            } else {
                while (!q.empty() && wins(v, q.back().second)) q.pop_back();
                q.push_back(i, v);
            }
            while (!q.empty() && q.front().first <= i - w) q.pop_front();
            double r = kNaN;
            if (i + 1 >= w && last_missing <= i - w && !q.empty())
                r = Position ? static_cast<double>(q.front().first - (i - w + 1))
                             : q.front().second;
            out[rows[u]] = r;
        }
    });
}

// ---- numpy-order summation (what a reduction over a small float64 array gives) -------------

double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// Calls f(rows, i, w) for each row i whose window of w rows is complete and all finite; other
// rows get NaN.
template <class F>
void complete_windows(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
                      std::span<double> out, F f) {
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        const std::int64_t w = clamp_window(window, len);
        std::int64_t last_missing = -w - 1;
        for (std::size_t u = 0; u < len; ++u) {
            rows.ahead(u, len, x.data(), out.data());
            const auto i = static_cast<std::int64_t>(u);
            if (!std::isfinite(x[rows[u]])) last_missing = i;
            out[rows[u]] = (i + 1 >= w && last_missing <= i - w) ? f(rows, u, w) : kNaN;
        }
    });
}

// ---- covariance / correlation ----------------------------------------------------------------

// One row's pair as the two-column statistics see it: each side missing when either is, +-inf
// missing. Written x + 0 * y so that signed zeros come out as they do in that form.
inline void load_pair(double a, double b, double& px, double& py) {
    px = finite_or_nan(a + 0.0 * b);
    py = finite_or_nan(b + 0.0 * a);
}

template <bool Corr>
void pair_stat(std::span<const double> x, std::span<const double> y, const SeriesLayout& layout,
               std::int64_t window, std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (y.size() != x.size()) throw std::invalid_argument("the two columns differ in length");
    if (window <= 0) {
        empty_window(layout, x.size(), kNaN, out);
        return;
    }
    struct Acc {
        KahanSum xy, sx, sy;
        WelfordVar vx, vy;
        void add(double a, double b) {
            xy.add(a * b);
            sx.add(a);
            sy.add(b);
            if constexpr (Corr) {
                vx.add(a);
                vy.add(b);
            }
        }
        void remove(double a, double b) {
            xy.remove(a * b);
            sx.remove(a);
            sy.remove(b);
            if constexpr (Corr) {
                vx.remove(a);
                vy.remove(b);
            }
        }
    };
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        const std::int64_t w = clamp_window(window, len);
        Acc acc;
        double a, b;
        for (std::size_t i = 0; i < len; ++i) {
            rows.ahead(i, len, x.data(), out.data(), y.data());
            if (w == 1) {
                acc = Acc{};
            } else if (static_cast<std::int64_t>(i) >= w) {
                const auto r = rows[i - static_cast<std::size_t>(w)];
                load_pair(x[r], y[r], a, b);
                acc.remove(a, b);
            }
            load_pair(x[rows[i]], y[rows[i]], a, b);
            acc.add(a, b);
            const double count = static_cast<double>(acc.sx.nobs);
            const double mean_xy = acc.xy.mean(w), mean_x = acc.sx.mean(w), mean_y = acc.sy.mean(w);
            const double cov = (mean_xy - mean_x * mean_y) * (count / (count - 1.0));
            if constexpr (Corr) {
                const double spread = std::sqrt(acc.vx.variance(w) * acc.vy.variance(w));
                out[rows[i]] = cov / spread;
            } else {
                out[rows[i]] = cov;
            }
        }
    });
}

// ---- rank ----------------------------------------------------------------------------------

// Windows up to this long keep their values sorted (a move of at most this many values per row);
// longer ones count values by their place among the series' distinct values, O(log n) per row.
constexpr std::int64_t kSortedRankWindow = 4096;

struct RankScratch {
    std::vector<double> values;        // the series' values, read once from the column
    std::vector<double> sorted;        // the window's values in order
    std::vector<double> distinct;      // the series' distinct values in order
    std::vector<std::uint32_t> place;  // each row's index into `distinct`
    std::vector<std::uint32_t> tree;   // Fenwick tree of window counts by place
    std::vector<std::uint32_t> equal;  // window count of each distinct value
};

// Mean of the ranks rank_min .. rank_max that equal values share, as pandas computes it.
inline double average_rank(double rank_min, double rank_max) {
    return ((rank_max * (rank_max + 1) / 2) - ((rank_min - 1) * rank_min / 2)) /
           (rank_max - rank_min + 1);
}

// Whether some `window` consecutive values are all present.
bool has_complete_window(const std::vector<double>& v, std::int64_t window) {
    std::int64_t run = 0;
    for (const double value : v) {
        run = value == value ? run + 1 : 0;
        if (run >= window) return true;
    }
    return false;
}

// emit(u, rank of values[u] within values[u - w + 1 .. u]), NaN unless all w are present.
template <class Emit>
void rank_in_sorted_window(std::int64_t window, RankScratch& s, Emit emit) {
    const std::vector<double>& v = s.values;
    std::vector<double>& sorted = s.sorted;
    sorted.clear();
    const auto w = static_cast<std::size_t>(window);
    for (std::size_t u = 0; u < v.size(); ++u) {
        if (u >= w) {
            const double leaving = v[u - w];
            if (leaving == leaving) {
                const auto at = std::lower_bound(sorted.begin(), sorted.end(), leaving);
                if (at != sorted.end() && *at == leaving) sorted.erase(at);
            }
        }
        const double value = v[u];
        double rank = kNaN;
        if (value == value) {
            const auto lo = std::lower_bound(sorted.begin(), sorted.end(), value);
            const auto hi = std::upper_bound(lo, sorted.end(), value);
            const double rank_min = static_cast<double>(lo - sorted.begin()) + 1.0;
            const double rank_max = static_cast<double>(hi - sorted.begin()) + 1.0;
            sorted.insert(hi, value);
            rank = average_rank(rank_min, rank_max);
        }
        emit(u, sorted.size() >= w ? rank : kNaN);
    }
}

// The same by counts: each value's place among the distinct values, a Fenwick tree of how many
// window values sit at each place (values below a place in O(log n)), and a count per place.
// 32-bit places and counts keep the tree small enough to stay in cache; series of 2^32 rows or
// more take the sorted window.
constexpr std::size_t kMaxCountedSeries = std::numeric_limits<std::uint32_t>::max();

template <class Emit>
void rank_by_counts(std::int64_t window, RankScratch& s, Emit emit) {
    const std::vector<double>& v = s.values;
    const std::size_t len = v.size();
    std::vector<double>& distinct = s.distinct;
    distinct.clear();
    for (const double value : v)
        if (value == value) distinct.push_back(value);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const std::size_t k = distinct.size();
    constexpr auto kMissing = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t>& place = s.place;
    place.resize(len);
    for (std::size_t u = 0; u < len; ++u)
        place[u] = v[u] == v[u] ? static_cast<std::uint32_t>(
                                      std::lower_bound(distinct.begin(), distinct.end(), v[u]) -
                                      distinct.begin())
                                : kMissing;
    std::vector<std::uint32_t>& tree = s.tree;
    std::vector<std::uint32_t>& equal = s.equal;
    tree.assign(k + 1, 0);
    equal.assign(k, 0);
    auto add = [&](std::size_t p, std::uint32_t d) {  // d = 1, or -1 modulo 2^32
        for (std::size_t i = p + 1; i <= k; i += i & (~i + 1)) tree[i] += d;
    };
    auto below = [&](std::size_t p) {  // window values at places < p
        std::uint32_t total = 0;
        for (std::size_t i = p; i > 0; i -= i & (~i + 1)) total += tree[i];
        return total;
    };
    const auto w = static_cast<std::size_t>(window);
    std::size_t present = 0;
    for (std::size_t u = 0; u < len; ++u) {
        if (u >= w && place[u - w] != kMissing) {
            add(place[u - w], std::numeric_limits<std::uint32_t>::max());
            --equal[place[u - w]];
            --present;
        }
        double rank = kNaN;
        if (place[u] != kMissing) {
            const std::size_t p = place[u];
            const auto less = static_cast<double>(below(p));
            add(p, 1);
            ++equal[p];
            ++present;
            rank = average_rank(less + 1.0, less + static_cast<double>(equal[p]));
        }
        emit(u, present >= w ? rank : kNaN);
    }
}

// ---- grouping by key ----------------------------------------------------------------------

// Open-addressing hash table from 64-bit key patterns to group codes 0, 1, ... in order of first
// appearance. Grows by doubling; never shrinks.
class KeyTable {
public:
    KeyTable() { rehash(1024); }

    std::int64_t insert(std::uint64_t key) {
        std::size_t slot = probe(key);
        if (slots_[slot].code >= 0) return slots_[slot].code;
        if ((size_ + 1) * 2 > slots_.size()) {
            rehash(slots_.size() * 2);
            slot = probe(key);
        }
        slots_[slot] = {key, static_cast<std::int64_t>(size_)};
        return static_cast<std::int64_t>(size_++);
    }

    // Code of a key that was inserted.
    std::int64_t find(std::uint64_t key) const { return slots_[probe(key)].code; }

private:
    struct Slot {
        std::uint64_t key = 0;
        std::int64_t code = -1;  // -1: empty
    };

    static std::uint64_t mix(std::uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        k *= 0xc4ceb9fe1a85ec53ULL;
        k ^= k >> 33;
        return k;
    }

    std::size_t probe(std::uint64_t key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = static_cast<std::size_t>(mix(key)) & mask;
        while (slots_[slot].code >= 0 && slots_[slot].key != key) slot = (slot + 1) & mask;
        return slot;
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        for (const Slot& s : old)
            if (s.code >= 0) slots_[probe(s.key)] = s;
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// Integer keys that span a short range index a table of codes directly.
class DenseTable {
public:
    DenseTable(std::uint64_t min, std::size_t range) : min_(min), codes_(range, -1) {}

    std::int64_t insert(std::uint64_t key) {
        std::int32_t& c = codes_[static_cast<std::size_t>(key - min_)];
        if (c < 0) c = size_++;
        return c;
    }
    std::int64_t find(std::uint64_t key) const {
        return codes_[static_cast<std::size_t>(key - min_)];
    }

private:
    std::uint64_t min_;
    std::vector<std::int32_t> codes_;
    std::int32_t size_ = 0;
};

// Smallest and largest key (keys not empty): a plain loop that the compiler vectorises, unlike
// std::minmax_element, which tracks positions.
std::pair<std::int64_t, std::int64_t> key_range(std::span<const std::int64_t> keys) {
    std::int64_t lo = keys[0], hi = keys[0];
    for (const std::int64_t k : keys) {
        lo = k < lo ? k : lo;
        hi = k > hi ? k : hi;
    }
    return {lo, hi};
}

// Calls f(table) with a DenseTable when the integer keys span at most about one code per row,
// else with a KeyTable.
template <class F>
decltype(auto) with_int_table(std::span<const std::int64_t> keys, F&& f) {
    if (!keys.empty()) {
        const auto [lo, hi] = key_range(keys);
        const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
        if (span < keys.size() + 65536 && span < (std::uint64_t{1} << 31))
            return f(DenseTable(static_cast<std::uint64_t>(lo), static_cast<std::size_t>(span) + 1));
    }
    return f(KeyTable());
}

// Two passes over the keys: count the rows of each group, then place each row after the rows of
// its group seen before it (looking its code up again instead of keeping a code per row).
// `pattern(k, bits)` gives a key's 64-bit pattern, false for a missing key.
template <class Table, class Key, class Pattern>
void layout_by_key(std::span<const Key> keys, std::span<std::int64_t> order,
                   std::vector<std::int64_t>& bounds, Table table, Pattern pattern) {
    if (order.size() != keys.size())
        throw std::invalid_argument("group layout buffers do not match the keys");
    std::vector<std::int64_t> counts;
    std::uint64_t bits = 0;
    for (const Key k : keys) {
        if (!pattern(k, bits)) continue;
        const auto code = static_cast<std::size_t>(table.insert(bits));
        if (code == counts.size()) counts.push_back(0);
        ++counts[code];
    }
    bounds.assign(counts.size() + 1, 0);
    for (std::size_t g = 0; g < counts.size(); ++g) bounds[g + 1] = bounds[g] + counts[g];
    std::vector<std::int64_t>& next = counts;  // reused: next free slot of each group
    std::copy(bounds.begin(), bounds.end() - 1, next.begin());
    auto missing = static_cast<std::size_t>(bounds.back());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto row = static_cast<std::int64_t>(i);
        if (pattern(keys[i], bits))
            order[static_cast<std::size_t>(next[static_cast<std::size_t>(table.find(bits))]++)] =
                row;
        else
            order[missing++] = row;
    }
}

template <class Table, class Key, class Pattern>
bool lag_by_key(std::span<const double> x, std::span<const Key> keys, std::int64_t periods,
                bool diff, std::span<double> out, Table table, Pattern pattern) {
    if (x.size() != keys.size() || x.size() != out.size())
        throw std::invalid_argument("column, keys and output differ in length");
    constexpr std::int64_t kMaxLag = std::int64_t{1} << 20;
    if (periods > kMaxLag || periods < -kMaxLag) throw std::invalid_argument("lag too long");
    const auto p = static_cast<std::size_t>(periods < 0 ? -periods : periods);
    const std::size_t n = x.size();
    std::vector<std::int64_t> seen;  // position in the ring of each group
    std::vector<double> ring;        // group c keeps its last p values in ring[c * p .. c * p + p)
    std::uint64_t bits = 0;
    for (std::size_t step = 0; step < n; ++step) {
        // A lag looks back in table order, a lead is a lag over the rows in reverse.
        const std::size_t i = periods >= 0 ? step : n - 1 - step;
        if (!pattern(keys[i], bits)) {
            out[i] = kNaN;
            continue;
        }
        double before = x[i];
        if (p > 0) {
            const auto c = static_cast<std::size_t>(table.insert(bits));
            if (c == seen.size()) {
                if (ring.size() + p > n) return false;
                seen.push_back(0);
                ring.resize(ring.size() + p);
            }
            // seen[c] runs 0 .. p-1 while the ring fills, then cycles p .. 2p-1 (no division).
            const auto k = static_cast<std::size_t>(seen[c]);
            const std::size_t slot = c * p + (k < p ? k : k - p);
            before = k >= p ? ring[slot] : kNaN;
            ring[slot] = x[i];
            seen[c] = static_cast<std::int64_t>(k + 1 == 2 * p ? p : k + 1);
        }
        out[i] = diff ? x[i] - before : before;
    }
    return true;
}

// Key patterns (function objects, so that the per-row test inlines).
struct IntKey {
    bool operator()(std::int64_t k, std::uint64_t& bits) const {
        bits = static_cast<std::uint64_t>(k);
        return true;
    }
};

struct FloatKey {
    bool operator()(double k, std::uint64_t& bits) const {
        if (k != k) return false;
        bits = k == 0.0 ? 0 : std::bit_cast<std::uint64_t>(k);
        return true;
    }
};

// lag_by_key for integer keys spanning a short range: each key value owns its ring directly,
// which saves the lookup of a group code on every row. Returns false when the rings would hold
// more values than the column.
// One ring of the last p values per group, rows in table order; group(i) < 0 for a row without a
// group, whose result is NaN.
template <class Group>
void lag_rings(std::span<const double> x, std::size_t groups, std::size_t p, bool diff,
               std::span<double> out, const Group& group) {
    std::vector<std::uint32_t> seen(groups, 0);  // as in lag_by_key: 0 .. p-1, then p .. 2p-1
    std::vector<double> ring(groups * p);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t g = group(i);
        if (g < 0) {
            out[i] = kNaN;
            continue;
        }
        const auto c = static_cast<std::size_t>(g);
        const std::uint32_t k = seen[c];
        const std::size_t slot = c * p + (k < p ? k : k - p);
        const double before = k >= p ? ring[slot] : kNaN;
        ring[slot] = x[i];
        seen[c] = k + 1 == 2 * p ? static_cast<std::uint32_t>(p) : k + 1;
        out[i] = diff ? x[i] - before : before;
    }
}

bool lag_by_dense_key(std::span<const double> x, std::span<const std::int64_t> keys,
                      std::int64_t periods, bool diff, std::span<double> out) {
    const std::size_t n = x.size();
    if (n == 0 || keys.size() != n || out.size() != n || periods <= 0 || periods > 64) return false;
    const auto [lo_key, hi_key] = key_range(keys);
    const std::uint64_t lo = static_cast<std::uint64_t>(lo_key);
    const std::uint64_t span = static_cast<std::uint64_t>(hi_key) - lo;
    const auto p = static_cast<std::size_t>(periods);
    if (span >= n || (span + 1) * p > n) return false;
    const std::size_t groups = static_cast<std::size_t>(span) + 1;
    lag_rings(x, groups, p, diff, out, [&](std::size_t i) {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(keys[i]) - lo);
    });
    return true;
}

}  // namespace

bool shift_by_key(std::span<const double> x, std::span<const std::int64_t> keys,
                  std::int64_t periods, bool diff, std::span<double> out) {
    if (lag_by_dense_key(x, keys, periods, diff, out)) return true;
    return with_int_table(keys, [&](auto table) {
        return lag_by_key(x, keys, periods, diff, out, std::move(table), IntKey{});
    });
}

bool shift_by_key(std::span<const double> x, std::span<const double> keys, std::int64_t periods,
                  bool diff, std::span<double> out) {
    return lag_by_key(x, keys, periods, diff, out, KeyTable(), FloatKey{});
}

bool shift_by_codes(std::span<const double> x, std::span<const std::int64_t> codes,
                    std::int64_t ngroups, std::int64_t periods, bool diff, std::span<double> out) {
    const std::size_t n = x.size();
    if (n == 0 || codes.size() != n || out.size() != n || periods <= 0 || periods > 64 ||
        ngroups <= 0 || static_cast<std::uint64_t>(ngroups) * static_cast<std::uint64_t>(periods) > n)
        return false;
    for (std::int64_t c : codes)
        if (c < -1 || c >= ngroups) throw std::invalid_argument("group code out of range");
    lag_rings(x, static_cast<std::size_t>(ngroups), static_cast<std::size_t>(periods), diff, out,
              [&](std::size_t i) { return codes[i]; });
    return true;
}

void group_layout_by_key(std::span<const std::int64_t> keys, std::span<std::int64_t> order,
                         std::vector<std::int64_t>& bounds) {
    with_int_table(keys, [&](auto table) {
        layout_by_key(keys, order, bounds, std::move(table), IntKey{});
    });
}

void group_layout_by_key(std::span<const double> keys, std::span<std::int64_t> order,
                         std::vector<std::int64_t>& bounds) {
    layout_by_key(keys, order, bounds, KeyTable(), FloatKey{});
}

void group_layout(std::span<const std::int64_t> codes, std::int64_t ngroups,
                  std::span<std::int64_t> order, std::span<std::int64_t> bounds) {
    if (ngroups < 0 || order.size() != codes.size() ||
        bounds.size() != static_cast<std::size_t>(ngroups) + 1)
        throw std::invalid_argument("group layout buffers do not match the codes");
    std::fill(bounds.begin(), bounds.end(), 0);
    for (std::int64_t c : codes) {
        if (c < -1 || c >= ngroups) throw std::invalid_argument("group code out of range");
        if (c >= 0) ++bounds[static_cast<std::size_t>(c) + 1];
    }
    const auto g = static_cast<std::size_t>(ngroups);
    for (std::size_t k = 1; k <= g; ++k) bounds[k] += bounds[k - 1];
    // bounds[c] is the next free slot of group c; afterwards it is the end of group c.
    auto missing = static_cast<std::size_t>(bounds[g]);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::int64_t c = codes[i];
        const auto row = static_cast<std::int64_t>(i);
        if (c >= 0)
            order[static_cast<std::size_t>(bounds[static_cast<std::size_t>(c)]++)] = row;
        else
            order[missing++] = row;
    }
    for (std::size_t k = g; k-- > 1;) bounds[k] = bounds[k - 1];
    if (g > 0) bounds[0] = 0;
}

std::size_t longest_series(const SeriesLayout& layout, std::size_t n) {
    if (layout.order.empty()) return n;
    std::size_t longest = 0;
    for (std::size_t k = 1; k < layout.bounds.size(); ++k)
        longest = std::max(longest,
                           static_cast<std::size_t>(layout.bounds[k] - layout.bounds[k - 1]));
    return longest;
}

void shift(std::span<const double> x, const SeriesLayout& layout, std::int64_t periods,
           std::span<double> out) {
    shift_impl<false>(x, layout, periods, out);
}

void diff(std::span<const double> x, const SeriesLayout& layout, std::int64_t periods,
          std::span<double> out) {
    shift_impl<true>(x, layout, periods, out);
}

void roll_sum(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) return empty_window(layout, x.size(), 0.0, out);
    running<KahanSum>(x, layout, window, out,
                      [](const KahanSum& s, std::int64_t w) { return s.total(w); });
}

void roll_mean(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) return empty_window(layout, x.size(), kNaN, out);
    running<KahanSum>(x, layout, window, out,
                      [](const KahanSum& s, std::int64_t w) { return s.mean(w); });
}

void roll_std(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) return empty_window(layout, x.size(), kNaN, out);
    running<WelfordVar>(x, layout, window, out, [](const WelfordVar& s, std::int64_t w) {
        const double v = s.variance(w);
        return v < 0 ? 0.0 : std::sqrt(v);
    });
}

void roll_max(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out) {
    extreme<false>(
        x, layout, window, out, [](double a, double b) { return a >= b; });
}

void roll_min(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out) {
    extreme<false>(
        x, layout, window, out, [](double a, double b) { return a <= b; });
}

void roll_argmax(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
                 std::span<double> out) {
    if (window < 1 && longest_series(layout, x.size()) > 0)
        throw std::invalid_argument("argmax of an empty window");
    extreme<true>(
        x, layout, window, out, [](double a, double b) { return a > b; });
}

void roll_argmin(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
                 std::span<double> out) {
    if (window < 1 && longest_series(layout, x.size()) > 0)
        throw std::invalid_argument("argmin of an empty window");
    extreme<true>(
        x, layout, window, out, [](double a, double b) { return a < b; });
}

void roll_rank(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) return empty_window(layout, x.size(), kNaN, out);
    const std::size_t longest = longest_series(layout, x.size());
    RankScratch scratch;
    scratch.values.reserve(longest);
    for_each_series(layout, x.size(), out, [&](auto rows, std::size_t len) {
        // A window longer than the series never holds w values.
        if (window > static_cast<std::int64_t>(len)) return fill(rows, len, kNaN, out);
        // Each value is read from the column once: the window works on its own copy, so what it
        // removes is always what it inserted, whatever happens to the column meanwhile.
        std::vector<double>& v = scratch.values;
        v.resize(len);
        for (std::size_t u = 0; u < len; ++u) {
            rows.ahead(u, len, x.data(), out.data());
            v[u] = finite_or_nan(x[rows[u]]);
        }
        if (!has_complete_window(v, window)) return fill(rows, len, kNaN, out);
        auto emit = [&](std::size_t u, double rank) { out[rows[u]] = rank; };
        if (window <= kSortedRankWindow || len >= kMaxCountedSeries)
            rank_in_sorted_window(window, scratch, emit);
        else
            rank_by_counts(window, scratch, emit);
    });
}

bool roll_rank_by_codes(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::int64_t window, std::span<double> out) {
    const std::size_t n = x.size();
    if (n == 0 || codes.size() != n || out.size() != n || window < 1 || window > 16 ||
        ngroups <= 0 || static_cast<std::uint64_t>(ngroups) * static_cast<std::uint64_t>(window) > n)
        return false;
    for (std::int64_t c : codes)
        if (c < -1 || c >= ngroups) throw std::invalid_argument("group code out of range");
    // per group, its last w - 1 values (as the sorted window reads them: not finite is missing)
    // in a ring, and how many rows of the group came before
    const auto prev = static_cast<std::size_t>(window - 1);
    const auto groups = static_cast<std::size_t>(ngroups);
    std::vector<double> ring(groups * (prev ? prev : 1));
    std::vector<std::uint64_t> seen(groups, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (codes[i] < 0) {
            out[i] = kNaN;
            continue;
        }
        const auto c = static_cast<std::size_t>(codes[i]);
        const double value = finite_or_nan(x[i]);
        double* r = ring.data() + c * prev;
        double rank = kNaN;
        if (value == value && seen[c] >= prev) {
            std::size_t less = 0, equal = 0;
            bool complete = true;
            for (std::size_t k = 0; k < prev; ++k) {
                const double u = r[k];
                complete &= u == u;
                less += u < value;
                equal += u == value;
            }
            if (complete)
                rank = average_rank(static_cast<double>(less) + 1.0,
                                    static_cast<double>(less + equal) + 1.0);
        }
        out[i] = rank;
        if (prev) r[seen[c] % prev] = value;
        ++seen[c];
    }
    return true;
}

void roll_prod(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (window <= 0) return empty_window(layout, x.size(), 1.0, out);
    complete_windows(x, layout, window, out, [&](auto rows, std::size_t u, std::int64_t w) {
        double p = 1.0;
        for (std::size_t j = u + 1 - static_cast<std::size_t>(w); j <= u; ++j) p *= x[rows[j]];
        return p;
    });
}

void roll_weighted_sum(std::span<const double> x, const SeriesLayout& layout,
                       std::span<const double> weights, std::span<double> out) {
    check_sizes(x.size(), out.size(), layout);
    if (weights.empty()) return empty_window(layout, x.size(), 0.0, out);
    const auto window = static_cast<std::int64_t>(weights.size());
    std::vector<double> terms(weights.size());
    complete_windows(x, layout, window, out, [&](auto rows, std::size_t u, std::int64_t w) {
        // A window shorter than the weights never completes, so w == weights.size() here.
        const std::size_t first = u + 1 - static_cast<std::size_t>(w);
        for (std::size_t k = 0; k < weights.size(); ++k) terms[k] = x[rows[first + k]] * weights[k];
        return pairwise_sum(terms.data(), terms.size());
    });
}

void roll_cov(std::span<const double> x, std::span<const double> y, const SeriesLayout& layout,
              std::int64_t window, std::span<double> out) {
    pair_stat<false>(x, y, layout, window, out);
}

void roll_corr(std::span<const double> x, std::span<const double> y, const SeriesLayout& layout,
               std::int64_t window, std::span<double> out) {
    pair_stat<true>(x, y, layout, window, out);
}

}  // namespace orvalis::core
