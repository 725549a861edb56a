// Frozen statistics as plain data: every value (numbers, texts, NumPy arrays, pandas indexes,
// series and frames) becomes a JSON node whose arrays are stored beside it by number. Reading
// builds only these kinds back, never runs code of the file's author, and refuses anything else.
#include <string>

#include "orvalis/frozen.hpp"

namespace orvalis::api::frozen {

namespace {

py::module_ np() { return py::module_::import("numpy"); }
py::module_ pd() { return py::module_::import("pandas"); }

py::dict node(const char* kind) {
    py::dict d;
    d["t"] = kind;
    return d;
}

[[noreturn]] void cannot_save(py::handle value) {
    PyErr_Format(PyExc_TypeError, "frozen statistics cannot hold a value of type %s: %R",
                 Py_TYPE(value.ptr())->tp_name, value.ptr());
    throw py::error_already_set();
}

py::object encode(py::handle v, py::list& arrays);

// One element of an object column: a number, a text, a boolean or a missing value.
py::object encode_element(py::handle v, py::list& arrays) {
    if (v.is_none() || PyBool_Check(v.ptr()) || PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()) ||
        PyUnicode_Check(v.ptr()) || py::isinstance(v, np().attr("generic")))
        return encode(v, arrays);
    if (v.is(pd().attr("NA"))) return node("none");
    cannot_save(v);
}

py::object array_node(const py::object& values, py::list& arrays) {
    py::dict d = node("array");
    d["a"] = py::len(arrays);
    arrays.append(np().attr("ascontiguousarray")(values));
    return d;
}

// A column's values: a NumPy array (object arrays element by element), a categorical, or another
// extension array by its dtype's name and its elements.
py::object encode_column(py::handle values, py::list& arrays) {
    if (py::isinstance<py::array>(values)) {
        py::array a = py::reinterpret_borrow<py::array>(values);
        if (a.dtype().kind() != 'O')
            return array_node(py::reinterpret_borrow<py::object>(a), arrays);
        if (a.ndim() != 1) cannot_save(values);
        py::dict d = node("objects");
        py::list items;
        for (py::handle e : a) items.append(encode_element(e, arrays));
        d["items"] = items;
        return d;
    }
    if (py::isinstance(values, pd().attr("Categorical"))) {
        py::dict d = node("categorical");
        d["categories"] = encode(values.attr("categories"), arrays);
        d["codes"] = array_node(values.attr("codes"), arrays);
        d["ordered"] = values.attr("ordered");
        return d;
    }
    if (py::isinstance(values, pd().attr("api").attr("extensions").attr("ExtensionArray"))) {
        py::dict d = node("extension");
        d["dtype"] = py::str(values.attr("dtype"));
        py::list items;
        for (py::handle e : values) items.append(encode_element(e, arrays));
        d["items"] = items;
        return d;
    }
    cannot_save(values);
}

py::object encode(py::handle v, py::list& arrays) {
    bind::RecursionGuard guard(" while writing frozen statistics");
    PyObject* o = v.ptr();
    if (v.is_none()) return node("none");
    if (PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
        PyUnicode_CheckExact(o)) {
        py::dict d = node(PyBool_Check(o)         ? "bool"
                          : PyLong_CheckExact(o)  ? "int"
                          : PyFloat_CheckExact(o) ? "float"
                                                  : "str");
        d["v"] = v;
        return d;
    }
    if (PyTuple_Check(o) || PyList_Check(o)) {
        py::dict d = node(PyTuple_Check(o) ? "tuple" : "list");
        py::list items;
        for (py::handle e : v) items.append(encode(e, arrays));
        d["items"] = items;
        return d;
    }
    if (py::isinstance(v, np().attr("generic"))) {
        py::array a = np().attr("asarray")(v);
        if (a.dtype().kind() == 'O') cannot_save(v);
        py::dict d = node("scalar");
        d["a"] = py::len(arrays);
        arrays.append(a);
        return d;
    }
    if (py::isinstance(v, pd().attr("MultiIndex"))) {
        py::dict d = node("multiindex");
        py::list levels, codes, names;
        for (py::handle level : v.attr("levels")) levels.append(encode(level, arrays));
        for (py::handle c : v.attr("codes"))
            codes.append(array_node(py::reinterpret_borrow<py::object>(c), arrays));
        for (py::handle n : v.attr("names")) names.append(encode(n, arrays));
        d["levels"] = levels;
        d["codes"] = codes;
        d["names"] = names;
        return d;
    }
    if (py::isinstance(v, pd().attr("RangeIndex"))) {
        py::dict d = node("range");
        d["start"] = v.attr("start");
        d["stop"] = v.attr("stop");
        d["step"] = v.attr("step");
        d["name"] = encode(v.attr("name"), arrays);
        return d;
    }
    if (py::isinstance(v, pd().attr("Index"))) {
        py::dict d = node("index");
        d["values"] = encode_column(v.attr("_values"), arrays);
        d["name"] = encode(v.attr("name"), arrays);
        return d;
    }
    if (py::isinstance(v, pd().attr("Series"))) {
        py::dict d = node("series");
        d["values"] = encode_column(v.attr("_values"), arrays);
        d["index"] = encode(v.attr("index"), arrays);
        d["name"] = encode(v.attr("name"), arrays);
        return d;
    }
    if (py::isinstance(v, pd().attr("DataFrame"))) {
        py::dict d = node("frame");
        py::list data;
        const auto width = py::len(v.attr("columns"));
        py::object iloc = v.attr("iloc");
        for (std::size_t k = 0; k < width; ++k) {
            py::object column =
                iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(k))];
            data.append(encode_column(column.attr("_values"), arrays));
        }
        d["columns"] = encode(v.attr("columns"), arrays);
        d["data"] = data;
        d["index"] = encode(v.attr("index"), arrays);
        return d;
    }
    if (py::isinstance<py::array>(v)) return encode_column(v, arrays);
    cannot_save(v);
}

// ---- reading ------------------------------------------------------------------------------------

[[noreturn]] void damaged(const std::string& what) { throw py::value_error(what); }

py::dict as_node(py::handle n) {
    if (!PyDict_Check(n.ptr()) || !py::reinterpret_borrow<py::dict>(n).contains("t"))
        damaged("an entry is not a node");
    return py::reinterpret_borrow<py::dict>(n);
}

py::object field(const py::dict& d, const char* key) {
    if (!d.contains(key)) damaged(std::string("a node lacks its '") + key + "'");
    return d[key];
}

py::list items_of(const py::dict& d) {
    py::object items = field(d, "items");
    if (!PyList_Check(items.ptr())) damaged("a node's items are not a list");
    return py::reinterpret_borrow<py::list>(items);
}

py::object stored_array(const py::dict& d, const py::list& arrays) {
    py::object k = field(d, "a");
    if (!PyLong_CheckExact(k.ptr())) damaged("an array number is not an integer");
    const auto i = k.cast<long long>();
    if (i < 0 || i >= static_cast<long long>(arrays.size()))
        damaged("an array number is out of range");
    return arrays[static_cast<std::size_t>(i)];
}

py::object decode(py::handle n, const py::list& arrays);

py::object decode_column(py::handle n, const py::list& arrays) {
    py::dict d = as_node(n);
    const std::string t = py::str(d["t"]);
    if (t == "array") {
        py::array a = stored_array(d, arrays);
        if (a.ndim() != 1) damaged("a column is not one-dimensional");
        return a;
    }
    if (t == "objects") {
        py::list items = items_of(d);
        py::array out = np().attr("empty")(items.size(), "dtype"_a = "object");
        for (std::size_t k = 0; k < items.size(); ++k) out[py::int_(k)] = decode(items[k], arrays);
        return out;
    }
    if (t == "categorical") {
        py::object codes = decode_column(field(d, "codes"), arrays);
        return pd()
            .attr("Categorical")
            .attr("from_codes")(codes, "categories"_a = decode(field(d, "categories"), arrays),
                                "ordered"_a = py::bool_(field(d, "ordered")));
    }
    if (t == "extension") {
        py::list values;
        for (py::handle e : items_of(d)) values.append(decode(e, arrays));
        return pd().attr("array")(values, "dtype"_a = py::str(field(d, "dtype")));
    }
    damaged("unknown column node '" + t + "'");
}

py::object decode(py::handle n, const py::list& arrays) {
    bind::RecursionGuard guard(" while reading frozen statistics");
    py::dict d = as_node(n);
    const std::string t = py::str(d["t"]);
    if (t == "none") return py::none();
    if (t == "bool" || t == "int" || t == "float" || t == "str") {
        py::object v = field(d, "v");
        const bool ok = t == "bool"    ? PyBool_Check(v.ptr())
                        : t == "int"   ? PyLong_CheckExact(v.ptr())
                        : t == "float" ? PyFloat_CheckExact(v.ptr())
                                       : PyUnicode_CheckExact(v.ptr());
        if (!ok) damaged("a " + t + " node holds another type");
        return v;
    }
    if (t == "tuple" || t == "list") {
        py::list out;
        for (py::handle e : items_of(d)) out.append(decode(e, arrays));
        return t == "tuple" ? py::object(py::tuple(out)) : py::object(out);
    }
    if (t == "scalar") {
        py::array a = stored_array(d, arrays);
        if (a.ndim() != 0) damaged("a scalar is not zero-dimensional");
        return a[py::tuple()];
    }
    if (t == "range")
        return pd().attr("RangeIndex")(field(d, "start"), field(d, "stop"), field(d, "step"),
                                       "name"_a = decode(field(d, "name"), arrays));
    if (t == "index") {
        py::object values = decode_column(field(d, "values"), arrays);
        return pd().attr("Index")(values, "name"_a = decode(field(d, "name"), arrays),
                                  "dtype"_a = values.attr("dtype"), "copy"_a = false);
    }
    if (t == "multiindex") {
        py::list levels, codes, names;
        for (py::handle e : py::list(field(d, "levels"))) levels.append(decode(e, arrays));
        for (py::handle e : py::list(field(d, "codes"))) codes.append(decode_column(e, arrays));
        for (py::handle e : py::list(field(d, "names"))) names.append(decode(e, arrays));
        return pd().attr("MultiIndex")("levels"_a = levels, "codes"_a = codes, "names"_a = names);
    }
    if (t == "series")
        return pd().attr("Series")(decode_column(field(d, "values"), arrays),
                                   "index"_a = decode(field(d, "index"), arrays),
                                   "name"_a = decode(field(d, "name"), arrays), "copy"_a = false);
    if (t == "frame") {
        py::object columns = decode(field(d, "columns"), arrays);
        py::object index = decode(field(d, "index"), arrays);
        py::list data(field(d, "data"));
        if (py::len(columns) != data.size()) damaged("a frame's columns and data differ in number");
        py::dict by_position;
        for (std::size_t k = 0; k < data.size(); ++k) {
            py::object column = decode_column(data[k], arrays);
            if (py::len(column) != py::len(index))
                damaged("a frame's column and index differ in length");
            by_position[py::int_(k)] = column;
        }
        py::object frame = pd().attr("DataFrame")(by_position, "index"_a = index, "copy"_a = false);
        frame.attr("columns") = columns;
        return frame;
    }
    damaged("unknown node '" + t + "'");
}

}  // namespace

py::object encode_value(py::handle value, py::list& arrays) { return encode(value, arrays); }

py::object decode_value(py::handle node, const py::list& arrays) { return decode(node, arrays); }

}  // namespace orvalis::api::frozen
