// labelencode / labeldecode: categorical values to the training codes and back, with the
// encoders the result folder holds.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

constexpr const char* kNotEncoded = "所选的列名在训练过程中并未进行编码。";

py::object code(const Module& m, py::object self, py::object X, py::handle feature_name,
                bool encode) {
    require_optional_str(feature_name, "feature_name");
    py::object pd = m["pd"];
    py::object record = self.attr("lec_record_dt");
    py::object key;
    bool series = py::isinstance(X, pd.attr("Series"));
    if (series) {
        key = X.attr("name");
    } else if (py::isinstance(X, pd.attr("DataFrame"))) {
        py_assert(!feature_name.is_none(),
                  encode ? "你输入的数据类型是DataFrame，请指定要进行编码的特征名。"
                         : "你输入的数据类型是DataFrame，请指定要进行解码的特征名。");
        key = py::reinterpret_borrow<py::object>(feature_name);
    } else {
        throw py::type_error("暂不支持该数据类型。");
    }
    if (!record.contains(key)) throw py::index_error(kNotEncoded);
    try {
        py::object values = series ? X : X[key];
        py::object encoder = record[key];
        if (encode) {
            py::object text = values.attr("fillna")("na").attr("astype")(
                py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
            return pd.attr("Series")(encoder.attr("transform")(text), "dtype"_a = "int");
        }
        py::object codes =
            values.attr("astype")(py::handle(reinterpret_cast<PyObject*>(&PyLong_Type)));
        return pd.attr("Series")(encoder.attr("inverse_transform")(codes));
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        py_print(
            py::str(encode ? "编码出错，请确认输入是否正确：" : "解码出错，请确认输入是否正确：") +
            py::str(e.value()));
        return py::none();
    }
}

// The model's classes, by the names the folder's encoder of the target gives them.
py::object classes(const Module& m, const py::object& self) {
    py::object model_classes = py::getattr(self.attr("model"), "classes_", py::none());
    if (model_classes.is_none())
        throw py::attribute_error("classes_: 该模型没有类别 (不是分类模型)。");
    py::object codes = m["np"].attr("asarray")(model_classes);
    py::object names = decoded_labels(m, self, self.attr("target_name"), codes);
    return names.is_none() ? codes : m["np"].attr("asarray")(names);
}

}  // namespace

py::object decoded_labels(const Module& m, const py::object& self, py::handle key,
                          const py::object& values) {
    py::object record = self.attr("lec_record_dt");
    if (!PyDict_Check(record.ptr()) || !PyUnicode_Check(key.ptr()) || !record.contains(key))
        return py::none();
    py::object encoder = record[key];
    py::object known = py::getattr(encoder, "classes_", py::none());
    if (known.is_none() || !py::hasattr(encoder, "inverse_transform")) return py::none();
    py::object np = m["np"];
    py::object array = np.attr("asarray")(values).attr("ravel")();
    std::string kind = py::str(array.attr("dtype").attr("kind"));
    bool integral = kind == "i" || kind == "u";
    if (kind == "f")
        integral = np.attr("isfinite")(array).attr("all")().cast<bool>() &&
                   np.attr("array_equal")(array, np.attr("round")(array)).cast<bool>();
    else if (kind == "O")  // codes written into an object column
        integral = py::str(m["pd"].attr("api").attr("types").attr("infer_dtype")(
                               array, "skipna"_a = false))
                       .cast<std::string>() == "integer";
    if (!integral) return py::none();
    py::object codes = array.attr("astype")("int64");
    if (py::len(codes) > 0 &&
        (codes.attr("min")().cast<long long>() < 0 ||
         codes.attr("max")().cast<long long>() >= static_cast<long long>(py::len(known))))
        return py::none();
    return encoder.attr("inverse_transform")(codes);
}

void add_codec_methods(const Module& m, py::dict& ns) {
    py::cpp_function get_classes([m](py::object self) { return classes(m, self); },
                                 py::arg("self"));
    ns["classes_"] =
        py::module_::import("builtins")
            .attr("property")(get_classes, py::none(), py::none(),
                              "模型的类别 (np.ndarray), 顺序与 predict_proba 的列一致:\n"
                              "predict_proba 结果的第 k 列是 classes_[k] 的概率。\n"
                              "标签列在训练时经过编码时, 给出解码后的原始类别名;\n"
                              "否则为模型自身的 classes_。回归模型没有此属性 "
                              "(AttributeError)。");
    add_method(
        ns, "labelencode",
        [m](py::object self, py::object X, py::handle feature_name) {
            return code(m, self, X, feature_name, true);
        },
        "labelencode(self, X, feature_name=None)",
        "使用训练时的编码器对类别特征进行编码。\n\n"
        "参数:\n"
        "    X: pd.Series (按其 name 选择编码器) 或 pd.DataFrame。\n"
        "    feature_name: X 为 DataFrame 时要编码的特征名。\n"
        "返回:\n"
        "    pd.Series: 编码结果 (训练时未见过的值编码为 OOV 对应的编码)。",
        py::arg("self"), py::arg("X"), py::arg("feature_name") = py::none());
    add_method(
        ns, "labeldecode",
        [m](py::object self, py::object X, py::handle feature_name) {
            return code(m, self, X, feature_name, false);
        },
        "labeldecode(self, X, feature_name=None)",
        "使用训练时的编码器将编码还原为原始的类别值。\n\n"
        "参数:\n"
        "    X: pd.Series (按其 name 选择编码器) 或 pd.DataFrame。\n"
        "    feature_name: X 为 DataFrame 时要解码的特征名。\n"
        "返回:\n"
        "    pd.Series: 解码结果。",
        py::arg("self"), py::arg("X"), py::arg("feature_name") = py::none());
}

}  // namespace orvalis::api
