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

}  // namespace

void add_codec_methods(const Module& m, py::dict& ns) {
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
