// The checks a table passes before preprocessing changes or builds anything: not empty, every
// column of the training table present, at least one row, and no text where the model was trained
// on numbers. Each failure is one message that says what is wrong and where, with the exception
// type the same mistake raised from deeper inside before (KeyError for a missing column).
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

// A column name as preprocessing leaves it: stripped, blanks as underscores.
py::object normalized(py::handle name) {
    if (!PyUnicode_Check(name.ptr())) return py::reinterpret_borrow<py::object>(name);
    return name.attr("strip")().attr("replace")(" ", "_");
}

// Whether every fitted category is an integer (codes written into an object column), the
// missing-value slot aside.
bool integer_categories(const py::object& categories) {
    py::object numpy_integer = py::module_::import("numpy").attr("integer");
    size_t seen = 0;
    for (py::handle value : categories) {
        if (PyUnicode_Check(value.ptr()) && py::str(value).equal(py::str("__NAN__"))) continue;
        bool integer = (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) ||
                       py::isinstance(value, numpy_integer);
        if (!integer) return false;
        ++seen;
    }
    return seen > 0;
}

// The columns whose values the model's own input transformation (a FLAML search) was fitted on
// as numbers: its numeric columns, and its categorical columns whose fitted categories are all
// integer codes. None when the model does not say.
py::object coded_model_inputs(const py::object& self) {
    try {
        py::object transformer = self.attr("model").attr("_transformer");
        py::set out(transformer.attr("_num_columns"));
        py::list cats(transformer.attr("_cat_columns"));
        py::object encoder = py::getattr(transformer, "_ordinal_encoder", py::none());
        py::object fitted =
            encoder.is_none() ? py::object(py::none()) : py::object(encoder.attr("categories_"));
        py::object saved = py::getattr(transformer, "_cat_categories", py::none());
        for (size_t k = 0; k < cats.size(); ++k) {
            py::object categories = py::none();
            if (!fitted.is_none())
                categories = fitted[py::int_(k)];
            else if (PyDict_Check(saved.ptr()))
                categories = saved.attr("get")(cats[k]);
            if (!categories.is_none() && integer_categories(categories)) out.add(cats[k]);
        }
        return out;
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    }
    return py::none();
}

// What the folder records of the training table, worked out once per object and kept as
// `_input_schema`: (path of automl/val_res or None, normalized names of the raw columns less the
// label and the saved predictions or None, coded_model_inputs). The names are the header of
// automl/val_res or, without it, the configuration's "FeatureName" list of texts.
py::tuple input_schema(const Module& m, const py::object& self) {
    py::object cached = py::getattr(self, "_input_schema", py::none());
    if (PyTuple_Check(cached.ptr())) return py::reinterpret_borrow<py::tuple>(cached);
    py::object os_path = m["os"].attr("path");
    py::object val_path = os_path.attr("join")(self.attr("path"), "automl", "val_res");
    py::object header = py::none();
    if (os_path.attr("isfile")(val_path).cast<bool>()) {
        try {
            header =
                m["pd"].attr("read_csv")(val_path, "nrows"_a = 0).attr("columns").attr("tolist")();
        } catch (py::error_already_set& e) {
            if (!is_exception(e)) throw;  // unreadable: the steps that read it will say so
        }
    }
    if (header.is_none()) {
        val_path = py::none();
        py::object listed = py::getattr(self, "feature_name", py::none());
        if (PyList_Check(listed.ptr())) {
            header = listed;
            for (py::handle name : listed)
                if (!PyUnicode_Check(name.ptr())) header = py::none();
        }
    }
    py::object names = py::none();
    if (!header.is_none()) {
        py::object target = normalized(self.attr("target_name"));
        py::list kept;
        for (py::handle name : header) {
            py::object plain = normalized(name);
            if (!plain.equal(target) && !plain.equal(py::str("ypred"))) kept.append(plain);
        }
        names = kept;
    }
    py::tuple schema = py::make_tuple(val_path, names, coded_model_inputs(self));
    self.attr("_input_schema") = schema;
    return schema;
}

// Whether the training table held numbers in raw column `name`: true when automl/val_res has a
// numeric dtype and a value there, false when it holds text, None when it cannot tell. The file
// is read once per object, and only when a column holds text where the model took numbers.
py::object trained_on_numbers(const Module& m, const py::object& self, const py::object& val_path,
                              py::handle name) {
    if (val_path.is_none()) return py::none();
    py::object kinds = py::getattr(self, "_raw_kinds", py::none());
    if (!PyDict_Check(kinds.ptr())) {
        py::dict found;
        py::object rows = m["pd"].attr("read_csv")(val_path);
        py::object is_numeric = m["pd"].attr("api").attr("types").attr("is_numeric_dtype");
        for (py::handle col : rows.attr("columns").attr("tolist")()) {
            py::object column = rows[col];
            found[normalized(col)] = column.attr("notna")().attr("any")().cast<bool>()
                                         ? py::object(py::bool_(is_numeric(column)))
                                         : py::object(py::none());
        }
        self.attr("_raw_kinds") = found;
        kinds = found;
    }
    return kinds.attr("get")(name);
}

// When the table arrived as one column whose name holds a separator other than the comma: a
// hint that it was read with the wrong separator.
std::string separator_hint(const py::list& columns) {
    if (columns.size() != 1 || !PyUnicode_Check(columns[0].ptr())) return "";
    std::string name = py::str(columns[0]);
    for (const char* sep : {";", "\t", "|"}) {
        if (name.find(sep) == std::string::npos) continue;
        std::string shown = std::string(sep) == "\t" ? "\\t" : sep;
        return " 数据只有一列, 其列名中含有分隔符 '" + shown +
               "': 文件的分隔符可能不是逗号, 请用 pd.read_csv(path, sep='" + shown +
               "') 读取后传入 DataFrame。";
    }
    return "";
}

// The first value of `column` that is neither a number nor missing (a text, say), with its row
// label; None when there is none.
py::object first_text_value(const Module& m, const py::object& column) {
    py::object number = py::module_::import("numbers").attr("Number");
    py::object isna = m["pd"].attr("isna");
    py::list values = column.attr("tolist")();
    for (size_t k = 0; k < values.size(); ++k) {
        py::object value = values[k];
        if (py::isinstance(value, number)) continue;
        py::object missing = isna(value);
        if (PyBool_Check(missing.ptr()) && missing.ptr() == Py_True) continue;
        return py::make_tuple(value, column.attr("index")[py::int_(k)]);
    }
    return py::none();
}

[[noreturn]] void raise_key_error(const std::string& text) {
    PyErr_SetObject(PyExc_KeyError, py::str(text).ptr());
    throw py::error_already_set();
}

}  // namespace

void check_input(const Module& m, const py::object& self, const py::object& df) {
    py::list columns = df.attr("columns").attr("tolist")();
    const size_t rows = py::len(df);
    if (columns.empty())
        throw py::value_error(rows == 0 ? "数据为空: 没有任何列, 也没有任何行。"
                                        : "数据没有任何列。");
    py::tuple schema = input_schema(m, self);
    py::object val_path = schema[0], raw = schema[1], coded = schema[2];
    py::object time_index = self.attr("time_index");
    py::object group_id = self.attr("group_id");

    // the training table's columns, less those preprocessing drops anyway
    py::list names;
    for (py::handle col : columns) names.append(normalized(col));
    py::set present(names), optional;
    for (py::handle col : py::getattr(self, "ignore_features", py::list()))
        if (!col.equal(time_index) && !col.equal(group_id)) optional.add(normalized(col));
    optional.add(normalized(self.attr("id_index")));
    if (!raw.is_none()) {
        py::list missing;
        for (py::handle name : raw)
            if (!present.contains(name) && !optional.contains(name)) missing.append(name);
        if (!missing.empty())
            raise_key_error("数据缺少训练时的列 " + std::string(py::repr(missing)) + " (共 " +
                            std::to_string(missing.size()) + " 列); 数据中的列为 " +
                            std::string(py::repr(columns)) + "。" + separator_hint(columns));
    }
    if (rows == 0)
        throw py::value_error("数据没有任何行 (只有表头 " + std::string(py::repr(columns)) +
                              "): 没有可以预处理或预测的数据。");
    // Text where the model took numbers or integer codes, in a column without an encoder. A
    // search's transformation says which columns those are; for another model, the training
    // rows of automl/val_res do.
    if (coded.is_none() && val_path.is_none()) return;
    py::object record = self.attr("lec_record_dt");
    py::object target = normalized(self.attr("target_name"));
    py::object time_name = normalized(time_index);
    py::list dtypes = df.attr("dtypes").attr("tolist")();
    for (size_t k = 0; k < columns.size(); ++k) {
        py::object col = columns[k], name = names[k];
        if ((!coded.is_none() && !coded.contains(name)) || name.equal(target) ||
            optional.contains(name) || name.equal(time_name) || record.contains(col) ||
            record.contains(name))
            continue;
        // numbers, booleans, dates: no text (NumPy dtype kinds)
        std::string kind = py::str(dtypes[k].attr("kind"));
        if (kind != "O" && kind != "U" && kind != "S" && kind != "T") continue;
        py::object column = df[col];
        py::object numbers = py::none();
        if (coded.is_none()) {  // the training rows decide, before the values are looked at
            numbers = trained_on_numbers(m, self, val_path, name);
            if (numbers.is_none() || !numbers.cast<bool>()) continue;
        }
        py::object found = first_text_value(m, column);
        if (found.is_none()) continue;
        std::string where = "列 " + std::string(py::repr(col));
        if (!coded.is_none()) numbers = trained_on_numbers(m, self, val_path, name);
        if (!numbers.is_none() && !numbers.cast<bool>()) {
            py::object record_path = self.attr("labelencoder_dt_path");
            bool record_file = m["os"].attr("path").attr("exists")(record_path).cast<bool>();
            raise_key_error(where + " 是文本, 但结果文件夹的编码器记录 " +
                            std::string(py::str(record_path)) +
                            (record_file ? " 中没有它的编码器" : " 不存在") +
                            ", 而模型是用它的整数编码训练的: 无法得到训练时的编码, "
                            "请使用完整的结果文件夹。");
        }
        throw py::type_error(
            where + " 在训练时是数值" + (numbers.is_none() ? " (或类别的整数编码)" : "") +
            ", 但数据中有非数值的值: 第一个是 " + std::string(py::repr(found[py::int_(0)])) +
            " (行标签 " + std::string(py::repr(found[py::int_(1)])) + ")。");
    }
}

}  // namespace orvalis::api
