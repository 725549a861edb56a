// Key columns hashed natively and the per-call cache of groupings and float64 views.
#include "brevant/keys.hpp"

#include <cmath>
#include <cstring>
#include <memory>

namespace orvalis::brevant {
using namespace pybind11::literals;
namespace {

py::module_ np() { return py::module_::import("numpy"); }

thread_local CallContext* g_call = nullptr;

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array int_array(std::span<const std::int64_t> v) {
    Ints out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

}  // namespace

bool text_keys(const py::array& objects, std::vector<core::TextKey>& out) {
    if (objects.ndim() != 1 || objects.dtype().kind() != 'O') return false;
    const auto n = static_cast<std::size_t>(objects.shape(0));
    const py::ssize_t stride = objects.strides(0);
    const char* base = static_cast<const char*>(objects.data());
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = *reinterpret_cast<PyObject* const*>(base + static_cast<py::ssize_t>(i) * stride);
        core::TextKey& k = out[i];
        if (o != nullptr && PyUnicode_CheckExact(o)) {
            Py_hash_t h = reinterpret_cast<PyASCIIObject*>(o)->hash;  // cached after the first use
            if (h == -1 && (h = PyObject_Hash(o)) == -1) throw py::error_already_set();
            k.hash = h;
        } else if (o == nullptr || o == Py_None ||
                   (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
            k = core::TextKey{};
            continue;
        } else {
            return false;
        }
        k.data = PyUnicode_DATA(o);
        k.length = PyUnicode_GET_LENGTH(o);
        k.kind = static_cast<std::int32_t>(PyUnicode_KIND(o));
    }
    return true;
}

namespace {

// The grouping of an object array of texts (None / NaN missing); false when some element is
// neither. A column of texts repeats a few objects many times, so the rows are first grouped by
// the objects' addresses (with the GIL released: nothing is dereferenced), and only one row per
// distinct object is read: its text's content decides its group.
bool factorize_objects(const py::array& objects, core::Factorized& out, bool release_gil = true) {
    if (objects.ndim() != 1) return false;
    const auto n = static_cast<std::size_t>(objects.shape(0));
    const py::ssize_t stride = objects.strides(0);
    const char* base = static_cast<const char*>(objects.data());
    auto at = [&](std::size_t i) {
        return *reinterpret_cast<PyObject* const*>(base + static_cast<py::ssize_t>(i) * stride);
    };
    // the addresses as they are now, in memory of our own (every element written)
    std::unique_ptr<std::uint64_t[]> address(new std::uint64_t[n]);
    if (stride == sizeof(PyObject*))
        std::memcpy(address.get(), base, n * sizeof(PyObject*));
    else
        for (std::size_t i = 0; i < n; ++i) address[i] = reinterpret_cast<std::uintptr_t>(at(i));
    core::Factorized by_object;
    {
        std::optional<py::gil_scoped_release> release;
        if (release_gil) release.emplace();
        by_object = core::factorize_addresses({address.get(), n});
    }
    // one text per distinct object, read where it first occurs; an element that another thread
    // replaced meanwhile is found there, and the column is then read again with the GIL held
    std::vector<core::TextKey> texts(by_object.ngroups());
    for (std::size_t g = 0; g < texts.size(); ++g) {
        const auto row = static_cast<std::size_t>(by_object.first[g]);
        PyObject* o = at(row);
        if (reinterpret_cast<std::uintptr_t>(o) != address[row])
            return factorize_objects(objects, out, false);
        core::TextKey& k = texts[g];
        if (o != nullptr && PyUnicode_CheckExact(o)) {
            Py_hash_t h = reinterpret_cast<PyASCIIObject*>(o)->hash;
            if (h == -1 && (h = PyObject_Hash(o)) == -1) throw py::error_already_set();
            k = {PyUnicode_DATA(o), PyUnicode_GET_LENGTH(o), h,
                 static_cast<std::int32_t>(PyUnicode_KIND(o))};
        } else if (!(o == nullptr || o == Py_None ||
                     (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o))))) {
            return false;
        }
    }
    // groups of equal texts, in the order of their first object, which is their first row
    core::Factorized by_text = core::factorize(std::span<const core::TextKey>(texts));
    out.first.resize(by_text.ngroups());
    for (std::size_t t = 0; t < out.first.size(); ++t)
        out.first[t] = by_object.first[static_cast<std::size_t>(by_text.first[t])];
    out.codes = std::move(by_object.codes);
    // distinct objects are mostly distinct texts, their groups then the objects' own
    bool same_groups = by_text.ngroups() == texts.size();
    for (std::size_t g = 0; same_groups && g < texts.size(); ++g)
        same_groups = by_text.codes[g] == static_cast<std::int64_t>(g);
    if (same_groups) {
        out.sizes = std::move(by_object.sizes);
        return true;
    }
    // a missing key's objects have no group and no size
    out.sizes.assign(out.first.size(), 0);
    for (std::size_t g = 0; g < texts.size(); ++g)
        if (const std::int64_t t = by_text.codes[g]; t >= 0)
            out.sizes[static_cast<std::size_t>(t)] += by_object.sizes[g];
    py::gil_scoped_release release;
    for (auto& c : out.codes) c = by_text.codes[static_cast<std::size_t>(c)];
    return true;
}

}  // namespace

std::shared_ptr<KeyColumn> KeyColumn::of(py::handle series) {
    py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(series, pd.attr("Series"))) return nullptr;
    py::object dtype = series.attr("dtype");
    if (!py::isinstance(dtype, np().attr("dtype"))) return nullptr;
    const std::string kind = py::str(dtype.attr("kind"));
    const auto itemsize = dtype.attr("itemsize").cast<std::int64_t>();
    py::array values = np().attr("asarray")(series);
    if (values.ndim() != 1) return nullptr;
    auto key = std::make_shared<KeyColumn>();
    key->dtype_kind_ = kind;
    if (kind == "b" || kind == "i" || (kind == "u" && itemsize < 8)) {
        key->kind_ = Kind::ints;
        Ints ints(np().attr("asarray")(values, "dtype"_a = "int64"));
        std::span<const std::int64_t> s(ints.data(), static_cast<std::size_t>(ints.size()));
        {
            py::gil_scoped_release release;
            key->f_ = core::factorize(s);
            for (std::int64_t row : key->f_.first) key->unique_ints_.push_back(s[row]);
        }
    } else if (kind == "f") {
        key->kind_ = Kind::floats;
        Floats floats(np().attr("asarray")(values, "dtype"_a = "float64"));
        std::span<const double> s(floats.data(), static_cast<std::size_t>(floats.size()));
        {
            py::gil_scoped_release release;
            key->f_ = core::factorize(s);
            for (std::int64_t row : key->f_.first) key->unique_floats_.push_back(s[row]);
        }
    } else if (kind == "O") {
        key->kind_ = Kind::texts;
        if (!factorize_objects(values, key->f_)) return nullptr;
    } else {
        return nullptr;
    }
    key->uniques_ = values.attr("take")(int_array(key->f_.first));
    if (key->kind_ == Kind::texts && !text_keys(key->uniques_, key->unique_texts_)) return nullptr;
    return key;
}

const std::vector<std::int64_t>& KeyColumn::sorted_groups() {
    if (!sorted_done_) {
        switch (kind_) {
            case Kind::ints: sorted_ = core::sorted_order(std::span(unique_ints_)); break;
            case Kind::floats: sorted_ = core::sorted_order(std::span(unique_floats_)); break;
            case Kind::texts: sorted_ = core::sorted_order(std::span(unique_texts_)); break;
        }
        sorted_done_ = true;
    }
    return sorted_;
}

const std::vector<std::int64_t>& KeyColumn::sizes() {
    if (!sizes_done_) {
        py::gil_scoped_release release;
        sizes_ = f_.sizes.size() == f_.ngroups() ? f_.sizes
                                                  : core::group_sizes(f_.codes, f_.ngroups());
        sizes_done_ = true;
    }
    return sizes_;
}

py::array KeyColumn::values_of(std::span<const std::int64_t> groups) const {
    return uniques_.attr("take")(int_array(groups));
}

std::optional<std::vector<std::int64_t>> KeyColumn::codes_of(py::handle values) const {
    auto codes = lookup_codes(values);
    // the caller then joins the values with pandas, which compares and hashes their objects
    if (!codes) foreign_code_may_run();
    return codes;
}

std::optional<std::vector<std::int64_t>> KeyColumn::lookup_codes(py::handle values) const {
    py::array v = np().attr("asarray")(values);
    if (v.ndim() != 1) return std::nullopt;
    const char kind = v.dtype().kind();
    const auto n = static_cast<std::size_t>(v.shape(0));
    std::vector<std::int64_t> out(n);
    if (kind_ == Kind::ints) {
        const bool both_bool = dtype_kind_ == "b" && kind == 'b';
        const bool both_int = dtype_kind_ != "b" &&
                              (kind == 'i' || (kind == 'u' && v.dtype().itemsize() < 8));
        if (!both_bool && !both_int) return std::nullopt;
        Ints q(np().attr("asarray")(v, "dtype"_a = "int64"));
        core::lookup(std::span(unique_ints_), {q.data(), n}, out);
    } else if (kind_ == Kind::floats) {
        if (kind != 'f') return std::nullopt;
        Floats q(np().attr("asarray")(v, "dtype"_a = "float64"));
        core::lookup(std::span(unique_floats_), {q.data(), n}, out);
    } else {
        std::vector<core::TextKey> q;
        if (kind != 'O' || !text_keys(v, q)) return std::nullopt;
        core::lookup(std::span(unique_texts_), std::span<const core::TextKey>(q), out);
    }
    return out;
}

CallContext* current_call() { return g_call; }

void foreign_code_may_run() {
    if (g_call) g_call->foreign_pending = true;
}

namespace {

bool builtin_object(PyObject* o, int depth) {
    if (PyTuple_CheckExact(o)) {
        if (depth > 8) return false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(o); ++k)
            if (!builtin_object(PyTuple_GET_ITEM(o, k), depth + 1)) return false;
        return true;
    }
    return !(Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

// Whether every element of an object array is of a built-in kind (a missing element counts).
bool builtin_objects(py::handle values) {
    py::array objects = np().attr("asarray")(values);
    if (objects.dtype().kind() != 'O') return true;
    if (objects.ndim() != 1) return false;
    const auto n = objects.shape(0);
    for (py::ssize_t k = 0; k < n; ++k) {
        PyObject* o = *static_cast<PyObject* const*>(objects.data(k));
        if (o != nullptr && !builtin_object(o, 0)) return false;
    }
    return true;
}

// Whether the values of a Series or an Index (or an array) are numbers, dates, texts or other
// objects of types defined in C: what pandas' hashing, comparisons and conversions of them run
// is no Python code.
bool builtin_values(py::handle values) {
    py::module_ pd = py::module_::import("pandas");
    if (py::isinstance(values, pd.attr("MultiIndex"))) {
        for (py::handle level : values.attr("levels"))
            if (!builtin_values(level)) return false;
        return true;
    }
    py::object dtype = values.attr("dtype");
    if (py::isinstance<py::dtype>(dtype))
        return py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O' || builtin_objects(values);
    if (py::isinstance(dtype, pd.attr("CategoricalDtype")))
        return builtin_values(dtype.attr("categories"));
    // another extension type: its scalars are those of the type it names
    py::object type = dtype.attr("type");
    return PyType_Check(type.ptr()) &&
           !(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

}  // namespace

bool builtin_object(PyObject* o) { return builtin_object(o, 0); }

void foreign_code_may_run(py::handle values) {
    if (g_call && !g_call->foreign_pending && !builtin_values(values)) foreign_code_may_run();
}

bool plain_labels(py::handle df) {
    if (Py_TYPE(df.ptr()) !=
        reinterpret_cast<PyTypeObject*>(py::module_::import("pandas").attr("DataFrame").ptr()))
        return false;
    return builtin_values(df.attr("columns")) && builtin_values(df.attr("index"));
}

CallScope::CallScope(CallContext* ctx) : saved_(g_call) { g_call = ctx; }
CallScope::~CallScope() { g_call = saved_; }

std::pair<py::object, const void*> column_buffer(py::handle df, py::handle label) {
    py::object loc = df.attr("columns").attr("get_loc")(label);
    if (!PyLong_Check(loc.ptr())) return {py::none(), nullptr};
    py::object values = df.attr("_mgr").attr("iget_values")(loc);
    if (!py::isinstance<py::array>(values)) return {py::none(), nullptr};
    const void* data = py::reinterpret_borrow<py::array>(values).data();
    return {values, data};
}

namespace {

// The context whose groupings and float views the running operator may read and extend.
CallContext* caching_call() {
    CallContext* ctx = current_call();
    return ctx && ctx->keeps_columns() ? ctx : nullptr;
}

CallContext::Cached* cached(CallContext* ctx, py::handle label, const void* data) {
    if (ctx == nullptr || data == nullptr) return nullptr;
    for (auto& c : ctx->columns)
        if (c.data == data && same(c.label, label)) return &c;
    return nullptr;
}

CallContext::Cached& remember(CallContext* ctx, py::handle label, py::object buffer,
                              const void* data) {
    // a label whose values changed replaces its old entry
    for (auto it = ctx->columns.begin(); it != ctx->columns.end(); ++it)
        if (same(it->label, label)) {
            ctx->columns.erase(it);
            break;
        }
    ctx->columns.push_back({py::reinterpret_borrow<py::object>(label), std::move(buffer), data,
                            nullptr, py::none()});
    return ctx->columns.back();
}

}  // namespace

std::shared_ptr<KeyColumn> key_of(py::handle df, py::handle label) {
    CallContext* ctx = caching_call();
    auto [buffer, data] = ctx ? column_buffer(df, label) : std::pair<py::object, const void*>{};
    if (auto* c = cached(ctx, label, data); c && c->key) return c->key;
    py::object series = df[label];
    auto key = KeyColumn::of(series);
    // the caller groups the column with pandas, which hashes and compares its objects
    if (!key && py::isinstance(series, py::module_::import("pandas").attr("Series")))
        foreign_code_may_run(series);
    else if (!key)
        foreign_code_may_run();
    if (ctx && data && key) {
        auto* c = cached(ctx, label, data);
        (c ? *c : remember(ctx, label, buffer, data)).key = key;
    }
    return key;
}

py::object floats_of(py::handle df, py::handle label) {
    CallContext* ctx = caching_call();
    auto [buffer, data] = ctx ? column_buffer(df, label) : std::pair<py::object, const void*>{};
    if (auto* c = cached(ctx, label, data); c && !c->floats.is_none()) return c->floats;
    py::object series = df[label];
    py::object dtype = series.attr("dtype");
    // any other column is read by pandas, which calls its objects' methods
    auto declined = []() {
        foreign_code_may_run();
        return py::none();
    };
    if (!py::isinstance(dtype, np().attr("dtype"))) return declined();
    const char kind = py::reinterpret_borrow<py::dtype>(dtype).kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') return declined();
    py::object floats = Floats(np().attr("asarray")(series, "dtype"_a = "float64"));
    if (ctx && data) {
        auto* c = cached(ctx, label, data);
        (c ? *c : remember(ctx, label, buffer, data)).floats = floats;
    }
    return floats;
}

}  // namespace orvalis::brevant
