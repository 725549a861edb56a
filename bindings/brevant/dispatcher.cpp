// name2feature: re-create every named feature on a table, building missing engineered arguments
// first and dropping them again once the feature that needed them exists.
#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "brevant/brevant.hpp"
#include "brevant/frozen.hpp"
#include "brevant/keys.hpp"

namespace orvalis::brevant {

py::list split_features(py::handle key);
bool is_combination_feature(py::handle feature_name);

namespace {

// The seven argument patterns, each with the keywords that use it, tested in this order.
enum class Pattern { one, two, three, aggregate, crosscount, nunique, count, none };

constexpr std::array<std::string_view, 11> kOne = {
    "entropy", "sine",    "cosine",   "square_root", "percentile", "round",
    "log",     "sigmoid", "residual", "quadratic",   "softmax"};
constexpr std::array<std::string_view, 26> kTwo = {
    "add",      "subtract", "histstat",     "multiply", "divide",    "combine",   "maximize",
    "minimize", "delay",    "delta",        "ts_rank",  "ts_argmax", "ts_argmin", "ts_max",
    "ts_min",   "stddev",   "decay_linear", "tsum",     "product",   "crossrank", "bigger",
    "smaller",  "equal",    "orop",         "ts_o",     "ts_mean"};
constexpr std::array<std::string_view, 2> kThree = {"tcorvariance", "tcorrelation"};

template <std::size_t N>
bool in(const std::array<std::string_view, N>& set, std::string_view k) {
    return std::find(set.begin(), set.end(), k) != set.end();
}

Pattern pattern_of(std::string_view k) {
    if (in(kOne, k)) return Pattern::one;
    if (in(kTwo, k)) return Pattern::two;
    if (in(kThree, k)) return Pattern::three;
    if (k == "aggregate") return Pattern::aggregate;
    if (k == "crosscount") return Pattern::crosscount;
    if (k == "nunique") return Pattern::nunique;
    if (k == "count") return Pattern::count;
    return Pattern::none;
}

py::object part(const py::list& temp, std::size_t k) {
    if (k >= temp.size()) throw py::index_error("list index out of range");
    return temp[k];
}

// The operator named by the keyword, looked up in the module's namespace when it is called.
py::object operator_named(const py::module_& module, const py::str& op_name, py::handle key,
                          const std::string& op) {
    py::object f = py::getattr(module, op_name, py::none());
    if (f.is_none()) {
        PyErr_Format(PyExc_NotImplementedError,
                     "the operator '%s' named by the feature %R is not available in %S", op.c_str(),
                     key.ptr(), module.attr("__name__").ptr());
        throw py::error_already_set();
    }
    return f;
}

// One name2feature call: the module, the record, and what the call knows about its tables.
struct Call {
    const py::module_& module;
    const py::object& record;
    py::dict natives;  // keyword -> the module's own operator, as registered
    CallContext ctx;
};

// Calls the operator; the module's own operators see the call's context (its private table and
// cached groupings), anything else (an operator replaced from Python) runs without it and leaves
// the call knowing nothing of the table it returns. An own operator that handed the caller's
// objects to code the call does not own leaves the call without its groupings.
template <class... Args>
py::object call_operator(Call& call, const py::str& op_name, const py::object& f, Args&&... args) {
    py::object own = call.natives.attr("get")(op_name);
    py::object out;
    if (own.is(f)) {
        {
            CallScope scope(&call.ctx);
            out = f(std::forward<Args>(args)...);
        }
        if (call.ctx.foreign_pending) call.ctx.ran_foreign_code();
        return out;
    }
    call.ctx.forget_all();
    {
        CallScope scope(nullptr);
        out = f(std::forward<Args>(args)...);
    }
    if (!call.ctx.foreign_labels) call.ctx.foreign_labels = !plain_labels(out);
    return out;
}

// df.drop(add_list, axis=1, inplace=True). pandas' drop rebuilds (copies and consolidates) the
// whole table for it, so on a plain table whose column index holds every label the columns are
// deleted one by one instead (`del df[label]`: every column of that label, the others kept as
// they are, without copying); anything else, including the error of a label that is gone, is
// left to drop itself.
void drop_intermediates(py::object& df, const py::list& add_list, CallContext& ctx) {
    py::module_ pd = py::module_::import("pandas");
    bool direct = py::isinstance(df, pd.attr("DataFrame")) &&
                  !py::isinstance(df.attr("columns"), pd.attr("MultiIndex"));
    if (direct) {
        py::object columns = df.attr("columns");
        for (py::handle label : add_list)
            if (!columns.contains(label)) {
                direct = false;
                break;
            }
    }
    if (!direct) {
        df.attr("drop")(add_list, "axis"_a = 1, "inplace"_a = true);
        return;
    }
    for (py::handle label : add_list) {
        ctx.forget_buffer(column_buffer(df, label).second);
        df.attr("__delitem__")(label);
    }
}

py::object name2feature_impl(Call& call, py::object df, py::handle feature_space) {
    bind::RecursionGuard guard(" while building the arguments of a feature");
    bind::py_assert(PyList_Check(feature_space.ptr()));
    // Iterate over a snapshot (any iterable when assertions are off): operators may change the
    // caller's list without changing what this call builds.
    py::list names = bind::snapshot_list(feature_space);
    for (py::handle key : names) {
        py::list temp = split_features(key);
        bind::py_assert(temp.size() >= 2);
        if (temp.size() == 0) throw py::index_error("list index out of range");
        py::str op_name = temp[0];
        py::list add_list;

        for (std::size_t k = 1; k < temp.size(); ++k) {
            py::object arg = temp[k];
            if (is_combination_feature(arg) && !df.attr("columns").contains(arg)) {
                py::list one;
                one.append(arg);
                df = name2feature_impl(call, df, one);
                add_list.append(arg);
            }
        }

        const std::string op = op_name.cast<std::string>();
        const Pattern pattern = pattern_of(op);
        if (pattern == Pattern::none)
            throw std::runtime_error("Do not support this OP: " + key.cast<std::string>());

        auto fn = [&]() { return operator_named(call.module, op_name, key, op); };
        const py::object& record = call.record;

        switch (pattern) {
            case Pattern::one: {
                py::object i = part(temp, 1);
                df = call_operator(call, op_name, fn(), df, i);
            } break;
            case Pattern::two: {
                if (temp.size() < 3) {
                    py::print(op_name);
                    PyErr_Format(
                        PyExc_ValueError,
                        "the feature %R gives its operator '%s' one argument; it takes two",
                        key.ptr(), op.c_str());
                    throw py::error_already_set();
                }
                py::object i = temp[1], j = temp[2];
                df = call_operator(call, op_name, fn(), df, i, j);
                break;
            }
            case Pattern::three: {
                py::object i = part(temp, 1), j = part(temp, 2), p = part(temp, 3);
                df = call_operator(call, op_name, fn(), df, i, j, p);
            } break;
            case Pattern::aggregate: {
                py::object stat = part(temp, 1), i = part(temp, 2), j = part(temp, 3);
                py::list stats;
                stats.append(stat);
                df = call_operator(call, op_name, fn(), df, i, j, stats, record);
                break;
            }
            case Pattern::crosscount: {
                py::list cols;
                cols.append(part(temp, 1));
                cols.append(part(temp, 2));
                df = call_operator(call, op_name, fn(), df, cols, record);
                break;
            }
            case Pattern::nunique: {
                py::object i = part(temp, 1), j = part(temp, 2);
                df = call_operator(call, op_name, fn(), df, i, j, record);
            } break;
            case Pattern::count: {
                py::object i = part(temp, 1);
                df = call_operator(call, op_name, fn(), df, i, record);
            } break;
            case Pattern::none:
                break;
        }

        if (!add_list.empty()) drop_intermediates(df, add_list, call.ctx);
    }
    return df;
}

}  // namespace

void register_dispatcher(py::module_& m) {
    // One record shared by every call that omits it, so such calls see each other's updates.
    py::dict shared_record;
    m.attr("_default_record") = shared_record;
    py::module_ module = m;
    m.def(
        "name2feature",
        [module](py::object df, py::handle feature_space, py::object lec_record_dt,
                 py::object /*cfg*/) {
            Call call{module, lec_record_dt, module.attr("_operators").cast<py::dict>(), {}};
            call.ctx.foreign_labels = !plain_labels(df);
            return name2feature_impl(call, df, feature_space);
        },
        py::arg("df"), py::arg("feature_space"), py::arg("lec_record_dt") = shared_record,
        py::arg("cfg") = py::none(),
        sig_doc("name2feature(df, feature_space, lec_record_dt={}, cfg=None)",
                "主入口, 根据特征名称, 对特征进行处理")
            .c_str());
    // name2feature with frozen statistics, for the inference API: "capture" appends every
    // batch-level quantity to `entries`; "replay" takes them from there, windows starting from
    // `history`; "extend" replays and fills `new_history` with the rows that follow the batch.
    m.def(
        "_name2feature_frozen",
        [module](py::object df, py::handle feature_space, py::object lec_record_dt,
                 py::list entries, py::dict history, py::dict new_history, const std::string& mode) {
            FrozenStats::Mode how;
            if (mode == "capture")
                how = FrozenStats::Mode::capture;
            else if (mode == "replay")
                how = FrozenStats::Mode::replay;
            else if (mode == "extend")
                how = FrozenStats::Mode::extend;
            else
                throw py::value_error("mode must be 'capture', 'replay' or 'extend', not '" +
                                      mode + "'");
            FrozenStats frozen(how, std::move(entries), std::move(history),
                               std::move(new_history));
            Call call{module, lec_record_dt, module.attr("_operators").cast<py::dict>(), {}};
            call.ctx.frozen = &frozen;
            return name2feature_impl(call, df, feature_space);
        },
        py::arg("df"), py::arg("feature_space"), py::arg("lec_record_dt"), py::arg("entries"),
        py::arg("history"), py::arg("new_history"), py::arg("mode"),
        sig_doc("_name2feature_frozen(df, feature_space, lec_record_dt, entries, history, "
                "new_history, mode)",
                "name2feature with frozen statistics (mode 'capture', 'replay' or 'extend').")
            .c_str());
}

}  // namespace orvalis::brevant

namespace orvalis::brevant {

// The module's own operators by keyword, as registered: the dispatcher hands its call context
// only to these (an operator replaced from Python gets a plain call).
void register_operator_table(py::module_& m) {
    py::dict natives;
    for (auto set : {std::span<const std::string_view>(kOne), std::span<const std::string_view>(kTwo),
                     std::span<const std::string_view>(kThree)})
        for (std::string_view k : set) {
            py::str name{std::string(k)};
            if (py::hasattr(m, name)) natives[name] = m.attr(name);
        }
    for (const char* k : {"aggregate", "crosscount", "nunique", "count"})
        if (py::hasattr(m, k)) natives[k] = m.attr(k);
    m.attr("_operators") = natives;
}

}  // namespace orvalis::brevant
