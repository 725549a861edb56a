// Element-wise operators: a new column from one or two columns of the same table. The vectorised
// ones are pandas/NumPy expressions; combine and sigmoid, whose reference runs Python per value,
// run natively.
#include "orvalis/core/elementwise.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "brevant/brevant.hpp"
#include "brevant/frozen.hpp"
#include "brevant/keys.hpp"
#include "brevant/rank_tables.hpp"
#include "orvalis/core/grouping.hpp"
#include "orvalis/core/text_format.hpp"

namespace orvalis::brevant {
namespace {

namespace core = orvalis::core;

py::module_ np() { return py::module_::import("numpy"); }

// a <op> b as Python evaluates it (pybind11's own comparison operators return a C++ bool).
py::object compare(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Two-column arithmetic, standardised: df[name] = f(x1, x2); df[name] = (df[name]-mean)/std.
// The expressions below are pandas' and NumPy's, which call the methods of a column's objects.
template <class F>
py::object arithmetic(const char* keyword, py::object df, py::handle c1, py::handle c2, F f) {
    py::str name = feature_name(keyword, {c1, c2});
    py::object x = df[c1], y = df[c2];
    foreign_code_may_run(x);
    foreign_code_may_run(y);
    df[name] = f(x, y);
    standardise(df, name);
    return df;
}

template <class F>
py::object unary(const char* keyword, py::object df, py::handle col, F f) {
    py::str name = feature_name1(keyword, col);
    py::object x = df[col];
    foreign_code_may_run(x);
    df[name] = f(x);
    return df;
}

template <class F>
py::object binary(const char* keyword, py::object df, py::handle c1, py::handle c2, F f) {
    py::str name = feature_name(keyword, {c1, c2});
    py::object x = df[c1], y = df[c2];
    foreign_code_may_run(x);
    foreign_code_may_run(y);
    df[name] = f(x, y);
    return df;
}

// ---- combine: str(x1) + "_" + str(x2) per row -------------------------------------------------

// One side of a combine: per row, the UTF-8 bytes of the value's text form. Numeric columns are
// formatted natively (as str() would), anything else goes through str() once per value.
class TextColumn {
  public:
    explicit TextColumn(py::object series) {
        py::object values = series.attr("_values");
        py::object dtype = series.attr("dtype");
        const std::string kind = py::str(dtype.attr("kind"));
        const bool numpy_backed = py::isinstance<py::array>(values);
        if (numpy_backed && (kind == "i" || kind == "u" || kind == "f" || kind == "b")) {
            const char* target = kind == "i"   ? "int64"
                                 : kind == "u" ? "uint64"
                                 : kind == "f" ? "float64"
                                               : "bool";
            array_ = np().attr("ascontiguousarray")(values, "dtype"_a = target);
            kind_ = kind[0];
            size_ = static_cast<std::size_t>(py::len(array_));
            data_ = py::array(array_).data();
        } else {
            // Anything else: the text of each value as str() gives it. A NumPy object column is
            // read value by value (an exact text is its own str(); each value is held while its
            // str() runs); other dtypes take Series.map(str), whose values they choose.
            if (!numpy_backed || kind != "O") foreign_code_may_run(series);
            py::array objects =
                numpy_backed && kind == "O"
                    ? np().attr("asarray")(values, "dtype"_a = "object")
                    : np().attr("asarray")(
                          series.attr("map")(py::module_::import("builtins").attr("str")),
                          "dtype"_a = "object");
            array_ = objects;
            kind_ = 'O';
            size_ = static_cast<std::size_t>(py::len(objects));
            texts_.reserve(size_);
            for (std::size_t k = 0; k < size_; ++k) {
                auto o = py::reinterpret_borrow<py::object>(
                    *static_cast<PyObject* const*>(objects.data(static_cast<py::ssize_t>(k))));
                if (PyUnicode_CheckExact(o.ptr())) {
                    texts_.push_back(std::move(o));
                } else {
                    if (!builtin_object(o.ptr())) foreign_code_may_run();
                    PyObject* text = PyObject_Str(o.ptr());
                    if (!text) throw py::error_already_set();
                    texts_.push_back(py::reinterpret_steal<py::object>(text));
                }
            }
        }
    }

    std::size_t size() const { return size_; }

    // The text of row k; `buf` holds numbers, Python texts are borrowed from their str object.
    // Returns false when a text cannot be viewed as UTF-8 (lone surrogates).
    bool text(std::size_t k, char* buf, const char*& ptr, Py_ssize_t& len) const {
        switch (kind_) {
            case 'i':
                ptr = buf;
                len = static_cast<Py_ssize_t>(
                    core::format_int(static_cast<const std::int64_t*>(data_)[k], buf));
                return true;
            case 'u':
                ptr = buf;
                len = static_cast<Py_ssize_t>(
                    core::format_uint(static_cast<const std::uint64_t*>(data_)[k], buf));
                return true;
            case 'f':
                ptr = buf;
                len = static_cast<Py_ssize_t>(
                    core::format_python_float(static_cast<const double*>(data_)[k], buf));
                return true;
            case 'b':
                ptr = static_cast<const bool*>(data_)[k] ? "True" : "False";
                len = static_cast<Py_ssize_t>(std::strlen(ptr));
                return true;
            default: {
                ptr = PyUnicode_AsUTF8AndSize(texts_[k].ptr(), &len);
                if (!ptr) {
                    PyErr_Clear();
                    return false;
                }
                return true;
            }
        }
    }

    // The text of row k of an object column, as str() gave it.
    PyObject* object(std::size_t k) const { return texts_[k].ptr(); }

    // The text of row k as a new str object.
    py::object text_object(std::size_t k) const {
        if (kind_ == 'O') return texts_[k];
        char buf[core::kNumberTextMax];
        const char* ptr;
        Py_ssize_t len;
        text(k, buf, ptr, len);
        return py::reinterpret_steal<py::object>(PyUnicode_FromStringAndSize(ptr, len));
    }

    // Per row, a code that is equal for rows of equal text: object columns by their text,
    // numeric ones by their value's bits (which fix its text).
    core::Codes codes(std::int64_t& ncodes) const {
        core::Factorized f;
        if (kind_ == 'O') {
            std::vector<core::TextKey> keys(size_);
            for (std::size_t k = 0; k < size_; ++k) {
                PyObject* t = texts_[k].ptr();
                Py_hash_t h = PyObject_Hash(t);
                if (h == -1) throw py::error_already_set();
                keys[k] = {PyUnicode_DATA(t), PyUnicode_GET_LENGTH(t), h,
                           static_cast<std::int32_t>(PyUnicode_KIND(t))};
            }
            f = core::factorize(std::span<const core::TextKey>(keys));
        } else {
            std::vector<std::int64_t> bits_of(size_);
            for (std::size_t k = 0; k < size_; ++k)
                bits_of[k] = static_cast<std::int64_t>(bits(k));
            f = core::factorize(std::span<const std::int64_t>(bits_of));
        }
        ncodes = static_cast<std::int64_t>(f.ngroups());
        return std::move(f.codes);
    }

    bool is_integer() const { return kind_ == 'i' || kind_ == 'u' || kind_ == 'b'; }

    // Integer value k as an offset-friendly unsigned number (signed values shifted by 2^63, so
    // that order and differences are kept).
    std::uint64_t int_at(std::size_t k) const {
        if (kind_ == 'b') return static_cast<const bool*>(data_)[k];
        if (kind_ == 'u') return static_cast<const std::uint64_t*>(data_)[k];
        return static_cast<std::uint64_t>(static_cast<const std::int64_t*>(data_)[k]) ^
               (std::uint64_t{1} << 63);
    }

    // The text of an integer given as int_at() gives it.
    Py_ssize_t format_int(std::uint64_t u, char* buf) const {
        if (kind_ == 'b') {
            std::memcpy(buf, u ? "True" : "False", u ? 4 : 5);
            return u ? 4 : 5;
        }
        if (kind_ == 'u') return static_cast<Py_ssize_t>(core::format_uint(u, buf));
        return static_cast<Py_ssize_t>(
            core::format_int(static_cast<std::int64_t>(u ^ (std::uint64_t{1} << 63)), buf));
    }

    // The smallest value and the number of values from it to the largest (0 when that number
    // does not fit 64 bits).
    std::pair<std::uint64_t, std::uint64_t> int_range() const {
        std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
        for (std::size_t k = 0; k < size_; ++k) {
            const std::uint64_t v = int_at(k);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        return {lo, hi - lo + 1};
    }

    // The value's 64 bits (numeric columns only), a cache key.
    std::uint64_t bits(std::size_t k) const {
        if (kind_ == 'b') return static_cast<const bool*>(data_)[k];
        std::uint64_t v;
        std::memcpy(&v, static_cast<const char*>(data_) + 8 * k, 8);
        return v;
    }
    bool is_object() const { return kind_ == 'O'; }

  private:
    py::object array_;
    std::vector<py::object> texts_;  // object columns: str() of every value
    const void* data_ = nullptr;
    std::size_t size_ = 0;
    char kind_ = 'O';
};

// Category codes are small integers that repeat a great deal. When every pair of values of two
// integer columns fits a table no larger than the output, each distinct pair's text is made once
// and shared by all its rows: one pass finds each row's pair and counts the uses, the texts are
// made with their final reference counts, and a last pass writes the rows.
class IntPairTable {
  public:
    IntPairTable(const TextColumn& a, const TextColumn& b, std::size_t rows) : a_(a), b_(b) {
        if (!a.is_integer() || !b.is_integer() || rows == 0 || rows >= (std::size_t{1} << 32))
            return;
        auto [lo_a, span_a] = a.int_range();
        auto [lo_b, span_b] = b.int_range();
        if (span_a == 0 || span_b == 0 || span_a > rows || span_b > rows / span_a) return;
        lo_a_ = lo_a;
        lo_b_ = lo_b;
        width_ = span_b;
        size_ = span_a * span_b;
    }

    bool enabled() const { return size_ != 0; }

    // Fills `out` (n slots, all empty) with new references. Returns false with a Python error set.
    bool fill(PyObject** out, std::size_t n) {
        std::vector<std::uint32_t> pair(n);
        std::vector<std::uint32_t> uses(size_, 0);
        for (std::size_t k = 0; k < n; ++k) {
            const auto p = static_cast<std::uint32_t>((a_.int_at(k) - lo_a_) * width_ +
                                                      (b_.int_at(k) - lo_b_));
            pair[k] = p;
            ++uses[p];
        }
        std::vector<PyObject*> texts(size_, nullptr);
        char buf_a[core::kNumberTextMax], buf_b[core::kNumberTextMax];
        for (std::size_t p = 0; p < size_; ++p) {
            if (!uses[p]) continue;
            const auto la = a_.format_int(lo_a_ + p / width_, buf_a);
            const auto lb = b_.format_int(lo_b_ + p % width_, buf_b);
            texts[p] = ascii_text(buf_a, la, buf_b, lb);
            if (!texts[p]) {
                for (PyObject* t : texts) Py_XDECREF(t);
                return false;
            }
        }
        for (std::size_t p = 0; p < size_; ++p)
            if (uses[p]) Py_SET_REFCNT(texts[p], static_cast<Py_ssize_t>(uses[p]));
        for (std::size_t k = 0; k < n; ++k) out[k] = texts[pair[k]];
        return true;
    }

  private:
    static PyObject* ascii_text(const char* pa, Py_ssize_t la, const char* pb, Py_ssize_t lb);

  public:
    // "<a>_<b>" from two ASCII texts.
    static PyObject* text_of(const char* pa, Py_ssize_t la, const char* pb, Py_ssize_t lb) {
        return ascii_text(pa, la, pb, lb);
    }

    const TextColumn& a_;
    const TextColumn& b_;
    std::uint64_t lo_a_ = 0, lo_b_ = 0, width_ = 0, size_ = 0;
};

PyObject* IntPairTable::ascii_text(const char* pa, Py_ssize_t la, const char* pb, Py_ssize_t lb) {
    PyObject* text = PyUnicode_New(la + 1 + lb, 127);
    if (!text) return nullptr;
    auto* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, pa, static_cast<std::size_t>(la));
    out[la] = '_';
    std::memcpy(out + la + 1, pb, static_cast<std::size_t>(lb));
    return text;
}

py::object combine_texts(const TextColumn& a, const TextColumn& b) {
    const std::size_t n = a.size();
    py::array_t<py::object> out = py::array_t<py::object>(static_cast<py::ssize_t>(n));
    auto* slots = reinterpret_cast<PyObject**>(out.mutable_data());
    auto put = [&](std::size_t k, PyObject* text) {
        if (!text) throw py::error_already_set();
        PyObject* old = slots[k];
        slots[k] = text;
        Py_XDECREF(old);
    };
    char buf_a[core::kNumberTextMax], buf_b[core::kNumberTextMax];
    const char *pa, *pb;
    Py_ssize_t la, lb;

    if (!a.is_object() && !b.is_object()) {
        // Both numeric: every text is ASCII.
        IntPairTable table(a, b, n);
        if (table.enabled()) {
            if (!table.fill(slots, n)) throw py::error_already_set();
            return out;
        }
        for (std::size_t k = 0; k < n; ++k) {
            a.text(k, buf_a, pa, la);
            b.text(k, buf_b, pb, lb);
            put(k, IntPairTable::text_of(pa, la, pb, lb));
        }
        return out;
    }

    // Some side holds texts: the rows are grouped by their pair of texts and each distinct pair's
    // text is made once, shared by all its rows.
    std::int64_t na = 0, nb = 0;
    const core::Codes ca = a.codes(na), cb = b.codes(nb);
    core::Factorized pairs = core::factorize_pairs(ca, na, cb, nb);
    std::vector<py::object> texts;
    texts.reserve(pairs.ngroups());
    py::str joint("_");
    for (std::int64_t row : pairs.first) {
        const auto r = static_cast<std::size_t>(row);
        py::object left = a.text_object(r), right = b.text_object(r);
        if (!left || !right) throw py::error_already_set();
        py::object head = py::reinterpret_steal<py::object>(PyUnicode_Concat(left.ptr(), joint.ptr()));
        if (!head) throw py::error_already_set();
        texts.push_back(py::reinterpret_steal<py::object>(PyUnicode_Concat(head.ptr(), right.ptr())));
        if (!texts.back()) throw py::error_already_set();
    }
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* t = texts[static_cast<std::size_t>(pairs.codes[k])].ptr();
        Py_INCREF(t);
        put(k, t);
    }
    return out;
}

py::object combine(py::object df, py::handle c1, py::handle c2) {
    py::str name = feature_name("combine", {c1, c2});
    py::object s1 = df[c1], s2 = df[c2];
    TextColumn a(s1), b(s2);
    if (a.size() != b.size()) throw py::value_error("combine: the two columns differ in length");
    assign_fresh_column(df, name, combine_texts(a, b));
    return df;
}

// ---- sigmoid: 1 / (1 + exp(-v)) per value -------------------------------------------------------

// Columns the native loop reads as the per-value form does: NumPy bool, integer and float columns
// and numeric extension columns (nullable integers and floats), missing values as NaN.
bool sigmoid_reads_natively(py::handle dtype) {
    const std::string kind = py::str(dtype.attr("kind"));
    if (py::isinstance(dtype, np().attr("dtype")))
        return kind == "b" || kind == "i" || kind == "u" ||
               (kind == "f" && dtype.attr("itemsize").cast<int>() <= 8);
    return kind == "i" || kind == "u" || kind == "f";
}

py::object sigmoid(py::object df, py::handle col) {
    py::str name = feature_name1("sigmoid", col);
    py::object s = df[col];
    if (!sigmoid_reads_natively(s.attr("dtype"))) {
        // Texts, dates, categories, objects: the per-value form itself,
        // df[col].apply(lambda v: 1 / (1 + np.exp(-v))), with its own errors and result type.
        foreign_code_may_run(s);
        py::object exp = np().attr("exp");
        py::cpp_function per_value([exp](py::handle v) -> py::object {
            py::object negated = py::reinterpret_steal<py::object>(PyNumber_Negative(v.ptr()));
            if (!negated) throw py::error_already_set();
            py::object one = py::int_(1);
            return one / (one + exp(negated));
        });
        df[name] = s.attr("apply")(per_value);
        return df;
    }
    py::object in = s.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np().attr("nan"));
    // exp(-v) by NumPy's own exp (its vector loop gives what it gives for each value alone, which
    // need not be the C library's result), without the per-value form's overflow warnings
    py::object e;
    {
        py::object quiet = np().attr("errstate")("all"_a = "ignore");
        quiet.attr("__enter__")();
        try {
            e = np().attr("exp")(np().attr("negative")(in));
        } catch (...) {
            quiet.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
    }
    auto ex = py::array_t<double, py::array::c_style | py::array::forcecast>(e);
    py::array_t<double> out(ex.size());
    {
        std::span<const double> x(ex.data(), static_cast<std::size_t>(ex.size()));
        std::span<double> y(out.mutable_data(), static_cast<std::size_t>(out.size()));
        py::gil_scoped_release release;
        core::sigmoid_from_exp(x, y);
    }
    assign_fresh_column(df, name, out);
    return df;
}

// x.rank(pct=True): ranked natively for int64 and float64 columns (a Series with x's index, as
// pandas returns it), by pandas for any other dtype.
py::object percentile_of(py::object x) {
    py::object values = x.attr("_values");
    const auto n = static_cast<std::size_t>(py::len(x));
    if (!py::isinstance<py::array>(values) || n >= (std::size_t{1} << 32))
        return x.attr("rank")("pct"_a = true);
    py::array a = py::reinterpret_borrow<py::array>(values);
    const char kind = a.dtype().kind();
    if (a.ndim() != 1 || a.dtype().itemsize() != 8 || (kind != 'f' && kind != 'i'))
        return x.attr("rank")("pct"_a = true);
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    std::span<double> o(out.mutable_data(), n);
    if (kind == 'f') {
        auto v = py::array_t<double, py::array::c_style | py::array::forcecast>(a);
        std::span<const double> xs(v.data(), n);
        py::gil_scoped_release release;
        core::percentile_rank(xs, o);
    } else {
        auto v = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(a);
        std::span<const std::int64_t> xs(v.data(), n);
        py::gil_scoped_release release;
        core::percentile_rank(xs, o);
    }
    return py::module_::import("pandas").attr("Series")(out, "index"_a = x.attr("index"),
                                                        "name"_a = x.attr("name"),
                                                        "copy"_a = false);
}

// x.min(), the shift of log and square_root: the batch's, or the frozen one.
py::object column_min(const py::str& name, const py::object& x) {
    return batch_quantity(name, "min", [&] { return x.attr("min")(); });
}

// The values the frozen ranking of percentile compares: float64, missing values as NaN.
py::array_t<double> ranked_values(const py::object& x) {
    return np().attr("ascontiguousarray")(
        x.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np().attr("nan")));
}

// x.rank(pct=True). With frozen statistics: captured as the reference's distinct values with
// their rows and the fraction each was given, and replayed by ranking the rows against them
// (orvalis/core/rank_lookup.hpp).
py::object percentile(const py::str& name, py::object x) {
    FrozenStats* fz = frozen_stats();
    if (!fz) return percentile_of(x);
    auto pd = py::module_::import("pandas");
    py::array_t<double> values = ranked_values(x);
    const auto n = static_cast<std::size_t>(values.size());
    std::vector<std::int64_t> one_group(n, 0);
    if (fz->replaying()) {
        py::tuple table = fz->recorded(name, "percentile");
        return pd.attr("Series")(rank_against_table(name, table, values, one_group, true),
                                 "index"_a = x.attr("index"), "name"_a = x.attr("name"),
                                 "copy"_a = false);
    }
    py::object out = percentile_of(x);
    py::array_t<double> pct = ranked_values(out);
    fz->record(name, "percentile",
               rank_table(py::none(), {values.data(), n}, one_group, 1, {pct.data(), n}));
    return out;
}

}  // namespace

void register_elementwise(py::module_& m) {
    auto def2 = [&m](const char* name, const char* params, auto fn, const char* doc) {
        std::string sig = std::string(name) + "(df, " + params + ")";
        std::string p1 = std::string(params).substr(0, std::string(params).find(','));
        std::string p2 = std::string(params).substr(std::string(params).find(", ") + 2);
        m.def(name, fn, py::arg("df"), py::arg(p1.c_str()), py::arg(p2.c_str()),
              sig_doc(sig.c_str(), doc).c_str());
    };
    auto def1 = [&m](const char* name, const char* param, auto fn, const char* doc) {
        std::string sig = std::string(name) + "(df, " + param + ")";
        m.def(name, fn, py::arg("df"), py::arg(param), sig_doc(sig.c_str(), doc).c_str());
    };

    def2(
        "add", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return arithmetic("add", df, a, b, [](py::object x, py::object y) { return x + y; });
        },
        "Standardised sum of two columns.");
    def2(
        "subtract", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return arithmetic("subtract", df, a, b,
                              [](py::object x, py::object y) { return x - y; });
        },
        "Standardised difference of two columns (first minus second).");
    def2(
        "multiply", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return arithmetic("multiply", df, a, b,
                              [](py::object x, py::object y) { return x * y; });
        },
        "Standardised product of two columns.");
    def2(
        "divide", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return arithmetic("divide", df, a, b, [](py::object x, py::object y) {
                py::object inf = np().attr("inf");
                py::object q = x / y;
                q = q.attr("replace")(inf, 1000000000000.0);
                q = q.attr("replace")(-inf, -1000000000000.0);
                return q.attr("fillna")(0);
            });
        },
        "Standardised quotient; +-inf become +-1e12 and missing values 0 before standardising.");
    def2(
        "minimize", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return binary("minimize", df, a, b, [](py::object x, py::object y) {
                py::list stacked;
                stacked.append(x);
                stacked.append(y);
                return np().attr("min")(stacked, "axis"_a = 0);
            });
        },
        "Row-wise minimum of two columns; a missing value on either side gives missing.");
    def2(
        "maximize", "num_col1, num_col2",
        [](py::object df, py::handle a, py::handle b) {
            return binary("maximize", df, a, b, [](py::object x, py::object y) {
                py::list stacked;
                stacked.append(x);
                stacked.append(y);
                return np().attr("max")(stacked, "axis"_a = 0);
            });
        },
        "Row-wise maximum of two columns; a missing value on either side gives missing.");
    def2(
        "bigger", "col1, col2",
        [](py::object df, py::handle a, py::handle b) {
            return binary("bigger", df, a, b,
                          [](py::object x, py::object y) { return compare(x, y, Py_GT); });
        },
        "x1 > x2 per row (boolean).");
    def2(
        "smaller", "col1, col2",
        [](py::object df, py::handle a, py::handle b) {
            return binary("smaller", df, a, b,
                          [](py::object x, py::object y) { return compare(x, y, Py_LT); });
        },
        "x1 < x2 per row (boolean).");
    def2(
        "equal", "col1, col2",
        [](py::object df, py::handle a, py::handle b) {
            return binary("equal", df, a, b,
                          [](py::object x, py::object y) { return compare(x, y, Py_EQ); });
        },
        "x1 == x2 per row (boolean); missing is never equal.");
    def2(
        "orop", "col1, col2",
        [](py::object df, py::handle a, py::handle b) {
            py::str name = feature_name("orop", {a, b});
            return binary("orop", df, a, b, [&name](py::object x, py::object y) {
                py::object mean_val =
                    batch_quantity(name, "mean", [&] { return (x + y).attr("mean")(); });
                return compare(x, mean_val, Py_GT) | compare(y, mean_val, Py_GT);
            });
        },
        "(x1 > m) or (x2 > m), m the mean of x1 + x2.");
    def2("combine", "group_col1, group_col2", &combine,
         "Text of x1, '_', text of x2 per row, each value in its Python text form.");

    def1(
        "entropy", "col",
        [](py::object df, py::handle col) {
            py::str name = feature_name1("entropy", col);
            df[name] = batch_quantity(name, "entropy", [&] {
                py::object x = df[col];
                foreign_code_may_run(x);
                py::object codes = py::module_::import("sklearn.preprocessing")
                                       .attr("LabelEncoder")()
                                       .attr("fit_transform")(x);
                return py::module_::import("scipy.stats").attr("entropy")(codes);
            });
            return df;
        },
        "Entropy of the label-encoded column, one value written to every row.");
    def1(
        "sine", "num_col",
        [](py::object df, py::handle col) {
            return unary("sine", df, col, [](py::object x) { return np().attr("sin")(x); });
        },
        "NumPy sin of the column.");
    def1(
        "cosine", "num_col",
        [](py::object df, py::handle col) {
            return unary("cosine", df, col, [](py::object x) { return np().attr("cos")(x); });
        },
        "NumPy cos of the column.");
    def1(
        "square_root", "num_col",
        [](py::object df, py::handle col) {
            py::str name = feature_name1("square_root", col);
            return unary("square_root", df, col, [&name](py::object x) {
                return np().attr("sqrt")(x - column_min(name, x));
            });
        },
        "sqrt(x - min(x)).");
    def1(
        "percentile", "num_col",
        [](py::object df, py::handle col) {
            py::str name = feature_name1("percentile", col);
            return unary("percentile", df, col,
                         [&name](py::object x) { return percentile(name, x); });
        },
        "Percentile rank of each value (average ranks for ties).");
    def1(
        "log", "num_col",
        [](py::object df, py::handle col) {
            py::str name = feature_name1("log", col);
            return unary("log", df, col, [&name](py::object x) {
                return np().attr("log")(py::float_(1e-06) + x - column_min(name, x));
            });
        },
        "log(1e-06 + x - min(x)).");
    def1(
        "round", "num_col",
        [](py::object df, py::handle col) {
            return unary("round", df, col, [](py::object x) { return np().attr("round")(x); });
        },
        "Round to 0 decimals, halves to the even neighbour.");
    def1("sigmoid", "num_col", &sigmoid, "1 / (1 + exp(-x)) per value.");
    def1(
        "residual", "num_col",
        [](py::object df, py::handle col) {
            return unary("residual", df, col, [](py::object x) -> py::object {
                py::tuple parts = np().attr("modf")(x);
                return parts[0];
            });
        },
        "Fractional part of x, with the sign of x.");
    auto quadratic = [](py::object df, py::handle col) {
        return unary("quadratic", df, col, [](py::object x) { return x.attr("__pow__")(2); });
    };
    def1("quadratic", "num_col", quadratic, "x ** 2.");
    def1(
        "softmax", "col",
        [](py::object df, py::handle col) {
            py::str name = feature_name("softmax", {col});
            py::object s = df[col];
            foreign_code_may_run(s);
            py::object x = np().attr("array")(s);
            // the column's maximum and the sum of exp(x - maximum)
            py::object e_x = py::none();
            py::tuple m = batch_quantity(name, "softmax", [&] {
                py::object top = np().attr("max")(x);
                e_x = np().attr("exp")(x - top);
                return py::make_tuple(top, e_x.attr("sum")());
            });
            if (e_x.is_none()) e_x = np().attr("exp")(x - m[0]);
            df[name] = e_x / m[1];
            return df;
        },
        "exp(x - max(x)) / sum(exp(x - max(x))) over the whole column.");
}

}  // namespace orvalis::brevant
