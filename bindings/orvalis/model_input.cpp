// The search object's input transformation (FLAML's DataTransformer.transform) re-created from
// its fitted state over the frame's column buffers: categorical columns coded against the
// categories fixed at training ("__NAN__" for missing and unseen values), numeric columns as
// float64 with the fitted imputer's medians in their gaps, datetime columns expanded into their
// calendar fields and day numbers, every other column dropped. The frame it returns equals the
// one FLAML returns; a state or a frame it does not recognise is left to FLAML itself.
#include "orvalis/core/model_input.hpp"

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "orvalis/search_model.hpp"

namespace orvalis::api {

namespace {

using core::CalendarField;

// Calendar columns of a datetime column, named field + "_" + column, in the order FLAML adds them.
constexpr std::array<std::pair<const char*, CalendarField>, 9> kCalendar = {{
    {"year", CalendarField::year},
    {"month", CalendarField::month},
    {"day", CalendarField::day},
    {"hour", CalendarField::hour},
    {"minute", CalendarField::minute},
    {"second", CalendarField::second},
    {"dayofweek", CalendarField::day_of_week},
    {"dayofyear", CalendarField::day_of_year},
    {"quarter", CalendarField::quarter},
}};

// Thrown while planning or running: the transformation is left to FLAML.
struct NotNative {};

void require(bool condition) {
    if (!condition) throw NotNative{};
}

py::object attribute(const py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        throw NotNative{};
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object imported(const char* module, const char* name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    require(modules.contains(module));
    return attribute(modules[module], name);
}

// A key of the kind categories are compared by; missing values (None, NaN, pd.NA, pd.NaT) and
// objects of other types are neither.
enum class Kind { missing, integer, real, text, other };

struct Singletons {
    py::object na, nat, np_integer;
};

Kind classify(PyObject* o, const Singletons& s, std::int64_t& i, double& d, core::TextKey& t) {
    if (PyUnicode_CheckExact(o)) {
        Py_hash_t h = PyObject_Hash(o);  // cached in the text after the first call
        if (h == -1) throw py::error_already_set();
        t = core::TextKey{PyUnicode_DATA(o), PyUnicode_GET_LENGTH(o), h,
                          static_cast<std::int32_t>(PyUnicode_KIND(o))};
        return Kind::text;
    }
    if (o == Py_None || o == s.na.ptr() || o == s.nat.ptr()) return Kind::missing;
    if (PyBool_Check(o)) {
        i = o == Py_True ? 1 : 0;
        return Kind::integer;
    }
    if (PyFloat_Check(o)) {
        d = PyFloat_AS_DOUBLE(o);
        if (std::isnan(d)) return Kind::missing;
        return core::integral_value(d, i) ? Kind::integer : Kind::real;
    }
    PyObject* whole = nullptr;
    if (PyLong_CheckExact(o)) {
        whole = o;
        Py_INCREF(whole);
    } else {
        const int numpy_int = PyObject_IsInstance(o, s.np_integer.ptr());
        if (numpy_int < 0) throw py::error_already_set();
        if (numpy_int == 0) return Kind::other;
        whole = PyNumber_Index(o);
        if (whole == nullptr) throw py::error_already_set();
    }
    int overflow = 0;
    i = PyLong_AsLongLongAndOverflow(whole, &overflow);
    Py_DECREF(whole);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow == 0 ? Kind::integer : Kind::other;
}

// One categorical column: its categories fixed at training.
struct Category {
    py::object name;
    py::list categories;  // as FLAML pins them; the text keys point into these objects
    py::object dtype;     // the CategoricalDtype of the column FLAML gives
    std::int64_t nan_code = -1;
    core::CategoryKeys keys;
};

struct Plan {
    py::list cat_names, num_names, date_names;
    std::vector<Category> cats;
    std::vector<double> fills;  // the imputer's medians, one per numeric column
    Singletons singletons;
    py::object nan_text;  // "__NAN__"
    // the state objects the plan was made from, and the lengths of the lists among them
    py::list state;
    std::vector<Py_ssize_t> lengths;
    bool native = false;  // false: the transformation is left to FLAML
};

Category pinned_column(const py::object& name, const py::list& pinned, const Plan& plan) {
    Category c;
    c.name = name;
    c.categories = pinned;
    // the dtype pandas gives pd.Categorical(values, categories=pinned): raises, and so leaves
    // the transformation to FLAML, on categories it would refuse
    c.dtype = imported("pandas", "Categorical")(py::list(), "categories"_a = pinned).attr("dtype");
    for (std::size_t k = 0; k < pinned.size(); ++k) {
        const auto pos = static_cast<std::int64_t>(k);
        std::int64_t i = 0;
        double d = 0;
        core::TextKey t;
        switch (classify(pinned[k].ptr(), plan.singletons, i, d, t)) {
            case Kind::integer:
                c.keys.ints.push_back(i);
                c.keys.int_positions.push_back(pos);
                break;
            case Kind::real:
                c.keys.floats.push_back(d);
                c.keys.float_positions.push_back(pos);
                break;
            case Kind::text:
                c.keys.texts.push_back(t);
                c.keys.text_positions.push_back(pos);
                if (py::object(pinned[k]).equal(plan.nan_text)) c.nan_code = pos;
                break;
            default:
                throw NotNative{};
        }
    }
    return c;
}

// The objects a plan depends on: a transformer whose state has changed gets a new plan.
std::pair<py::list, std::vector<Py_ssize_t>> state_of(const py::object& t) {
    py::list state;
    std::vector<Py_ssize_t> lengths;
    for (const char* name : {"_cat_columns", "_num_columns", "_datetime_columns", "_drop",
                             "transformer", "_ordinal_encoder", "_cat_categories"}) {
        py::object value = py::getattr(t, name, py::none());
        state.append(value);
        lengths.push_back(PyList_Check(value.ptr()) ? PyList_GET_SIZE(value.ptr()) : -1);
    }
    py::object imputer_stats = py::none();
    try {
        py::object first = py::list(t.attr("transformer").attr("transformers_"))[0];
        imputer_stats = py::tuple(first)[1].attr("statistics_");
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    }
    state.append(imputer_stats);
    lengths.push_back(-1);
    return {state, lengths};
}

bool same_state(const Plan& plan, const py::object& t) {
    auto [state, lengths] = state_of(t);
    if (lengths != plan.lengths) return false;
    for (std::size_t k = 0; k < state.size(); ++k)
        if (!state[k].is(plan.state[k])) return false;
    return true;
}

// The imputer of the numeric columns: a ColumnTransformer holding one SimpleImputer over all of
// them, whose transform gives float64 with the medians in the gaps.
std::vector<double> imputer_fills(const py::object& t, const py::list& num_names) {
    py::object ct = attribute(t, "transformer");
    require(Py_TYPE(ct.ptr()) == reinterpret_cast<PyTypeObject*>(
                                     imported("sklearn.compose", "ColumnTransformer").ptr()));
    py::object config = imported("sklearn", "get_config")();
    require(py::object(config["transform_output"]).equal(py::str("default")));
    const bool renamed = attribute(t, "_drop").cast<bool>();
    py::list expected;
    for (std::size_t k = 0; k < num_names.size(); ++k)
        expected.append(renamed ? py::object(py::int_(k)) : py::object(num_names[k]));
    py::object imputer_type = imported("sklearn.impute", "SimpleImputer");
    py::object imputer = py::none();
    for (py::handle entry : attribute(ct, "transformers_")) {
        py::tuple item = py::reinterpret_borrow<py::tuple>(entry);
        require(py::len(item) == 3);
        if (!py::isinstance<py::str>(item[1])) {
            require(imputer.is_none() && py::object(item[0]).equal(py::str("continuous")));
            imputer = item[1];
            require(py::list(item[2]).equal(expected));
        } else {
            require(py::object(item[1]).equal(py::str("drop")) && py::len(item[2]) == 0);
        }
    }
    require(!imputer.is_none() &&
            Py_TYPE(imputer.ptr()) == reinterpret_cast<PyTypeObject*>(imputer_type.ptr()));
    for (const py::object& est : {ct, imputer}) {
        py::object output = py::getattr(est, "_sklearn_output_config", py::dict());
        require(!PyDict_Check(output.ptr()) ||
                py::dict(output).attr("get")("transform", "default").equal(py::str("default")));
    }
    py::object missing = attribute(imputer, "missing_values");
    require(PyFloat_Check(missing.ptr()) && std::isnan(PyFloat_AS_DOUBLE(missing.ptr())));
    require(!py::bool_(attribute(imputer, "add_indicator")));
    py::object float64 = py::dtype("float64");
    require(py::getattr(imputer, "_fit_dtype", float64).equal(float64));
    require(py::getattr(imputer, "_fill_dtype", float64).equal(float64));
    py::object names = py::getattr(ct, "feature_names_in_", py::none());
    require(names.is_none() || py::list(names).equal(expected));
    py::object stats = attribute(imputer, "statistics_");
    require(py::isinstance<py::array>(stats));
    py::array_t<double, py::array::c_style | py::array::forcecast> values(stats);
    require(py::array(stats).dtype().equal(float64) && values.ndim() == 1 &&
            static_cast<std::size_t>(values.shape(0)) == num_names.size());
    std::vector<double> fills(values.data(), values.data() + values.shape(0));
    for (double v : fills) require(std::isfinite(v));
    return fills;
}

Plan make_plan(const SearchModel& search, const py::object& t) {
    // the transform of FLAML 2.7 and 2.8, read from their source
    py::object flaml = py::module_::import("sys").attr("modules")["flaml"];
    const std::string version = py::str(flaml.attr("__version__"));
    const bool pins_encoder = version.rfind("2.8.", 0) == 0;
    require(pins_encoder || version.rfind("2.7.", 0) == 0);
    require(Py_TYPE(t.ptr()) == reinterpret_cast<PyTypeObject*>(
                                    imported("flaml.automl.data", "DataTransformer").ptr()));
    py::object generic = imported("flaml.automl.task.generic_task", "GenericTask");
    py::handle task_type = reinterpret_cast<PyObject*>(Py_TYPE(search.task.ptr()));
    require(task_type.attr("preprocess").is(generic.attr("preprocess")));
    py::object task_dict = py::getattr(search.task, "__dict__", py::dict());
    require(!PyDict_Check(task_dict.ptr()) || !py::dict(task_dict).contains("preprocess"));
    require(!py::bool_(search.task.attr("is_ts_forecast")()));
    py::object fit_task = attribute(t, "_task");
    require(!py::bool_(fit_task.attr("is_nlp")()) && !py::bool_(fit_task.attr("is_ts_forecast")()));

    Plan plan;
    py::object pd = py::module_::import("pandas");
    plan.singletons = {pd.attr("NA"), pd.attr("NaT"), py::module_::import("numpy").attr("integer")};
    plan.nan_text = py::str("__NAN__");
    for (auto [list, name] :
         {std::pair{&plan.cat_names, "_cat_columns"}, std::pair{&plan.num_names, "_num_columns"},
          std::pair{&plan.date_names, "_datetime_columns"}}) {
        py::object value = attribute(t, name);
        require(PyList_CheckExact(value.ptr()));
        *list = py::list(value);
    }
    if (plan.num_names.size() > 0) plan.fills = imputer_fills(t, plan.num_names);

    if (plan.cat_names.size() > 0) {
        py::object encoder =
            pins_encoder ? py::getattr(t, "_ordinal_encoder", py::none()) : py::object(py::none());
        if (!encoder.is_none()) {
            py::list pinned_all = py::list(attribute(encoder, "categories_"));
            require(pinned_all.size() >= plan.cat_names.size());
            for (std::size_t k = 0; k < plan.cat_names.size(); ++k) {
                py::list pinned = py::list(pinned_all[k]);
                if (!pinned.contains(plan.nan_text)) pinned.append(plan.nan_text);
                plan.cats.push_back(pinned_column(plan.cat_names[k], pinned, plan));
            }
        } else {
            // categories recorded per column; without them FLAML takes each batch's own
            py::object saved = py::getattr(t, "_cat_categories", py::none());
            require(PyDict_Check(saved.ptr()) && py::len(saved) > 0);
            for (py::handle name : plan.cat_names) {
                py::object pinned = py::dict(saved).attr("get")(name);
                require(!pinned.is_none());
                plan.cats.push_back(pinned_column(py::reinterpret_borrow<py::object>(name),
                                                  py::list(pinned), plan));
            }
        }
    }
    std::tie(plan.state, plan.lengths) = state_of(t);
    return plan;
}

py::object plan_cache() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result(
            [] { return py::module_::import("weakref").attr("WeakKeyDictionary")(); })
        .get_stored();
}

// The plan of transformer `t` (a capsule holding a Plan), made once per transformer and state.
py::capsule plan_of(const SearchModel& search, const py::object& t) {
    py::object cache = plan_cache();
    py::object entry = py::none();
    bool weak = true;
    try {
        entry = cache.attr("get")(t);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        weak = false;  // not weakly referable: planned every time
    }
    if (py::isinstance<py::capsule>(entry) &&
        same_state(*py::reinterpret_borrow<py::capsule>(entry).get_pointer<Plan>(), t))
        return py::reinterpret_borrow<py::capsule>(entry);
    auto plan = std::make_unique<Plan>();
    try {
        *plan = make_plan(search, t);
        plan->native = true;
    } catch (NotNative&) {
        std::tie(plan->state, plan->lengths) = state_of(t);
    }
    py::capsule stored(plan.get(), [](void* p) { delete static_cast<Plan*>(p); });
    plan.release();
    if (weak) cache[t] = stored;
    return stored;
}

// --- one call ----------------------------------------------------------------------------

struct Column {
    py::array values;
    char kind = 0;  // numpy dtype kind, or 'c' for the codes of a categorical column
    std::size_t itemsize = 0;
    py::object categories = py::none();
};

// df[name] as a NumPy array with its dtype (a categorical column: its codes, kind 'c', with its
// categories), or nullopt for other extension dtypes.
std::optional<Column> column_of(const py::object& df, const py::object& name) {
    py::object series = df[name];
    py::object values = series.attr("_values");
    Column c;
    if (py::isinstance(values, py::module_::import("pandas").attr("Categorical"))) {
        c.values = py::reinterpret_borrow<py::array>(values.attr("codes"));
        c.kind = 'c';
        c.itemsize = static_cast<std::size_t>(c.values.itemsize());
        c.categories = values.attr("categories");
        return c;
    }
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    c.values = py::reinterpret_borrow<py::array>(values);
    if (c.values.ndim() != 1) return std::nullopt;
    c.kind = c.values.dtype().kind();
    c.itemsize = static_cast<std::size_t>(c.values.itemsize());
    return c;
}

template <class T>
std::span<const T> span_of(const py::array& a) {
    return {static_cast<const T*>(a.data()), static_cast<std::size_t>(a.shape(0))};
}

// A contiguous copy when the array is strided.
py::array contiguous(const py::array& a) {
    if (a.strides(0) == a.itemsize()) return a;
    return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

// f(span) over `a` read as the integer type of its width (the 1, 2, 4 and 8 byte types given);
// false for another width.
template <class I8, class I16, class I32, class I64, class F>
bool by_width(const py::array& a, std::size_t itemsize, F&& f) {
    switch (itemsize) {
        case 1:
            f(span_of<I8>(a));
            return true;
        case 2:
            f(span_of<I16>(a));
            return true;
        case 4:
            f(span_of<I32>(a));
            return true;
        case 8:
            f(span_of<I64>(a));
            return true;
    }
    return false;
}

// x as double into out (numeric dtypes); false for a dtype the imputer would not give float64
// for, or an infinite value, which the imputer refuses.
bool numeric_into(const Column& c, double fill, std::span<double> out) {
    py::array a = contiguous(c.values);
    py::gil_scoped_release release;
    auto convert = [&](auto x) { core::as_double(x, out); };
    switch (c.kind) {
        case 'f':
            return c.itemsize == 8 && core::fill_missing(span_of<double>(a), fill, out);
        case 'b':
            convert(span_of<bool>(a));
            return true;
        case 'i':
            return by_width<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(a, c.itemsize,
                                                                                   convert);
        case 'u':
            return by_width<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(
                a, c.itemsize, convert);
    }
    return false;
}

// The codes of one categorical column, as FLAML gives them: object columns have their missing
// values filled with "__NAN__", numeric ones keep them missing (code -1); values not among the
// categories become "__NAN__". Throws NotNative for columns of other kinds.
py::array_t<std::int64_t> category_codes(const Category& cat, const Column& c, const Plan& plan,
                                         std::size_t& unseen) {
    const auto n = static_cast<std::size_t>(c.values.shape(0));
    py::array_t<std::int64_t> codes(static_cast<py::ssize_t>(n));
    std::span<std::int64_t> out(codes.mutable_data(), n);
    std::fill(out.begin(), out.end(), -1);
    const std::int64_t unseen_code = cat.nan_code;
    std::vector<std::int64_t> ints, int_rows, float_rows;
    std::vector<double> floats;
    std::vector<core::TextKey> texts;
    std::vector<std::int64_t> text_rows;
    if (c.kind == 'O') {
        // a copy holds its own reference to every object, whose text the lookup reads without
        // the GIL: the frame's own array may be written to meanwhile
        py::array a = py::module_::import("numpy").attr("array")(c.values, "copy"_a = true);
        auto* const* objects = static_cast<PyObject* const*>(a.data());
        core::TextKey nan_key;
        std::int64_t i = 0;
        double d = 0;
        classify(plan.nan_text.ptr(), plan.singletons, i, d, nan_key);
        for (std::size_t r = 0; r < n; ++r) {
            core::TextKey t;
            const auto row = static_cast<std::int64_t>(r);
            switch (classify(objects[r], plan.singletons, i, d, t)) {
                case Kind::text:
                    texts.push_back(t), text_rows.push_back(row);
                    break;
                case Kind::integer:
                    ints.push_back(i), int_rows.push_back(row);
                    break;
                case Kind::real:
                    floats.push_back(d), float_rows.push_back(row);
                    break;
                case Kind::missing:
                    texts.push_back(nan_key), text_rows.push_back(row);
                    break;
                default:
                    throw NotNative{};
            }
        }
        py::gil_scoped_release release;
        unseen = core::category_codes(cat.keys, {ints, int_rows}, {floats, float_rows},
                                      {texts, text_rows}, unseen_code, out);
        return codes;
    }
    if (c.kind == 'f') {
        py::array a = contiguous(
            py::module_::import("numpy").attr("asarray")(c.values, "dtype"_a = "float64"));
        py::gil_scoped_release release;
        core::float_keys(span_of<double>(a), ints, int_rows, floats, float_rows);
        unseen = core::category_codes(cat.keys, {ints, int_rows}, {floats, float_rows}, {},
                                      unseen_code, out);
        return codes;
    }
    if (c.kind == 'c') {
        // the categories coded once, then every row by its category's code; a missing value
        // is "__NAN__", which FLAML fills in
        py::array objects =
            py::module_::import("numpy").attr("asarray")(c.categories, "dtype"_a = "object");
        Column categories{objects, 'O', static_cast<std::size_t>(objects.itemsize())};
        std::size_t unseen_categories = 0;
        py::array_t<std::int64_t> positions =
            category_codes(cat, categories, plan, unseen_categories);
        // a row may hold an unseen category: warn_unseen looks at the rows themselves
        unseen = unseen_categories + (cat.nan_code < 0 ? 1 : 0);
        py::array a = contiguous(c.values);
        std::span<const std::int64_t> map(positions.data(),
                                          static_cast<std::size_t>(positions.size()));
        py::gil_scoped_release release;
        by_width<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(
            a, c.itemsize, [&](auto x) { core::recode(x, map, cat.nan_code, out); });
        return codes;
    }
    require(c.kind == 'i' || c.kind == 'b' || (c.kind == 'u' && c.itemsize < 8));
    py::array a =
        contiguous(py::module_::import("numpy").attr("asarray")(c.values, "dtype"_a = "int64"));
    py::gil_scoped_release release;
    unseen =
        core::category_codes(cat.keys, {span_of<std::int64_t>(a), {}}, {}, {}, unseen_code, out);
    return codes;
}

// FLAML's warning for values unseen at training, with the same samples.
void warn_unseen(const Category& cat, const py::object& series) {
    py::object current =
        series.attr("astype")(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (py::object(series.attr("dtype").attr("kind")).equal(py::str("O")))
        current = current.attr("fillna")(py::str("__NAN__"));
    py::object mask = current.attr("isin")(cat.categories)
                          .attr("__invert__")()
                          .attr("__and__")(current.attr("notna")());
    if (!py::bool_(mask.attr("any")())) return;
    py::list texts;
    for (py::handle v : current[mask].attr("unique")()) texts.append(py::str(v));
    py::list samples = py::module_::import("builtins").attr("sorted")(py::set(texts));
    std::string message = "Column '" + std::string(py::str(cat.name)) +
                          "' contains values unseen at fit time (e.g. " +
                          std::string(py::repr(samples[py::slice(0, 5, 1)])) +
                          "); these rows will be encoded as '__NAN__' and predictions may be "
                          "unreliable.";
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

// Where numeric column k of the output comes from.
struct NumSource {
    std::optional<Column> input;  // a column of the frame
    int date = -1;                // or calendar field `field` of datetime column `date`
    CalendarField field = CalendarField::ordinal;
};

py::object run(const Plan& plan, const py::object& X) {
    py::object pd = py::module_::import("pandas");
    py::object np = py::module_::import("numpy");
    require(Py_TYPE(X.ptr()) == reinterpret_cast<PyTypeObject*>(pd.attr("DataFrame").ptr()));
    py::object columns = X.attr("columns");
    require(columns.attr("is_unique").cast<bool>() && py::len(X.attr("attrs")) == 0 &&
            X.attr("flags").attr("allows_duplicate_labels").cast<bool>());
    const auto n = static_cast<std::size_t>(py::len(X.attr("index")));
    require(n > 0);

    // datetime columns: expanded when they hold timestamps, kept when they hold day numbers
    std::vector<py::array> stamps;  // int64 nanoseconds of each expanded datetime column
    py::dict derived;               // output name -> (datetime index, field)
    py::list added;                 // calendar columns the frame gains, in order
    py::set present;
    for (py::handle col : columns) present.add(col);
    py::set numeric_names;
    for (py::handle col : plan.num_names) numeric_names.add(col);
    for (py::handle d : plan.date_names) {
        require(present.contains(d));
        py::object series = X[d];
        py::object dtype = series.attr("dtype");
        if (!dtype.equal(py::dtype("datetime64[ns]"))) {
            std::optional<Column> c = column_of(X, py::reinterpret_borrow<py::object>(d));
            require(c && (c->kind == 'i' || c->kind == 'u' || c->kind == 'f'));  // day numbers
            continue;
        }
        const int index = static_cast<int>(stamps.size());
        stamps.push_back(contiguous(series.attr("to_numpy")().attr("view")("int64")));
        for (const auto& [field, kind] : kCalendar) {
            py::str name = py::str(field) + py::str("_") + py::str(d);
            if (present.contains(name) || !numeric_names.contains(name)) continue;
            derived[name] = py::make_tuple(index, static_cast<int>(kind));
            present.add(name);
            added.append(name);
        }
        derived[d] = py::make_tuple(index, static_cast<int>(CalendarField::ordinal));
    }

    std::vector<NumSource> sources(plan.num_names.size());
    for (std::size_t k = 0; k < sources.size(); ++k) {
        py::object name = plan.num_names[k];
        if (derived.contains(name)) {
            py::tuple where = derived[name];
            sources[k].date = where[0].cast<int>();
            sources[k].field = static_cast<CalendarField>(where[1].cast<int>());
            continue;
        }
        require(present.contains(name));
        sources[k].input = column_of(X, name);
        require(sources[k].input.has_value());
    }
    std::vector<Column> cat_columns;
    for (const Category& cat : plan.cats) {
        require(present.contains(cat.name));
        std::optional<Column> c = column_of(X, cat.name);
        require(c.has_value());
        cat_columns.push_back(*c);
    }

    // the numeric block, one row of it per column (pandas' own layout of a float64 block)
    const auto width = static_cast<py::ssize_t>(sources.size());
    py::array_t<double> block({width, static_cast<py::ssize_t>(n)});
    double* base = block.mutable_data();
    for (std::size_t k = 0; k < sources.size(); ++k) {
        std::span<double> out(base + k * n, n);
        const double fill = plan.fills[k];
        if (sources[k].input) {
            require(numeric_into(*sources[k].input, fill, out));
        } else {
            std::span<const std::int64_t> ns = span_of<std::int64_t>(stamps[sources[k].date]);
            py::gil_scoped_release release;
            core::calendar_field(ns, sources[k].field, fill, out);
        }
    }
    std::vector<py::object> categoricals;
    std::vector<std::size_t> unseen(plan.cats.size(), 0);
    py::object from_codes = pd.attr("Categorical").attr("from_codes");
    for (std::size_t k = 0; k < plan.cats.size(); ++k) {
        py::array_t<std::int64_t> codes =
            category_codes(plan.cats[k], cat_columns[k], plan, unseen[k]);
        categoricals.push_back(
            from_codes(codes, "dtype"_a = plan.cats[k].dtype, "validate"_a = false));
    }
    // warned once every column is known to be done here, not by FLAML after all
    for (std::size_t k = 0; k < plan.cats.size(); ++k)
        if (unseen[k] > 0) warn_unseen(plan.cats[k], X[plan.cats[k].name]);

    // the columns as FLAML selects them: the frame's own labels, then the calendar ones added
    py::object labels = columns;
    if (py::len(added) > 0) labels = labels.attr("append")(pd.attr("Index")(added));
    py::list order;
    for (py::handle name : plan.cat_names) order.append(name);
    for (py::handle name : plan.num_names) order.append(name);
    py::object chosen = labels.attr("take")(labels.attr("get_indexer")(order));
    const auto k_cats = static_cast<py::ssize_t>(plan.cats.size());
    py::object out = pd.attr("DataFrame")(
        block.attr("T"), "index"_a = X.attr("index"),
        "columns"_a = chosen[py::slice(k_cats, py::len(chosen), 1)], "copy"_a = false);
    for (py::ssize_t k = 0; k < k_cats; ++k)
        out.attr("insert")(k, chosen[py::int_(k)], categoricals[static_cast<std::size_t>(k)]);
    out.attr("columns") = chosen;
    return out;
}

}  // namespace

std::optional<py::object> native_transform(const SearchModel& search, const py::object& frame) {
    py::capsule holder;
    try {
        holder = plan_of(search, search.transformer);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        return std::nullopt;  // FLAML's own transform raises what there is to raise
    }
    const Plan& plan = *holder.get_pointer<Plan>();
    if (!plan.native) return std::nullopt;
    try {
        return run(plan, frame);
    } catch (NotNative&) {
        return std::nullopt;
    }
}

}  // namespace orvalis::api
