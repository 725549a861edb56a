// predict and predict_proba: new data (path, DataFrame or NumPy array) in, model output out.
#include "orvalis/frozen.hpp"
#include "orvalis/marqolin.hpp"
#include "orvalis/search_model.hpp"

namespace orvalis::api {

namespace {

// The raw feature columns of the training table, as the result folder records them: the header
// of automl/val_res without the label column and the saved predictions "ypred".
py::list raw_feature_columns(const Module& m, const py::object& self) {
    py::object val_path = m["os"].attr("path").attr("join")(self.attr("path"), "automl", "val_res");
    if (!m["os"].attr("path").attr("exists")(val_path).cast<bool>())
        throw py::value_error(
            "无法为 NumPy 数组确定列名: 结果文件夹中没有 automl/val_res, "
            "请传入带列名的 pd.DataFrame。");
    py::list header =
        m["pd"].attr("read_csv")(val_path, "nrows"_a = 0).attr("columns").attr("tolist")();
    py::list names;
    py::object target = self.attr("target_name");
    for (py::handle name : header)
        if (!name.equal(target) && !name.equal(py::str("ypred"))) names.append(name);
    return names;
}

py::object run(const Module& m, py::object self, py::object test_path, const char* method,
               py::object statistics) {
    py::object pd = m["pd"];
    ModelInput input;
    // preprocess(..., return_y=True) would append the label only for the model never to see it:
    // it is not asked for, which gives the model the same rows
    py::object no_label = py::bool_(false);
    if (is_path_like(test_path)) test_path = path_text(test_path, "test_path");
    if (!statistics.is_none()) frozen::require_for(m, statistics, self, method);
    if (PyUnicode_Check(test_path.ptr())) {
        input = prepare_input(m, self, self.attr("_load_data_from_file")(test_path), no_label,
                              statistics);
    } else if (py::isinstance(test_path, pd.attr("DataFrame"))) {
        // Already preprocessed: the model's input columns. A raw table that merely has as many
        // columns would reach the model unprocessed and fail there, so the names must match too.
        py::object inputs = self.attr("model").attr("feature_names_in_");
        if (py::len(inputs) == py::len(test_path.attr("columns")) &&
            py::set(py::iter(inputs)).equal(py::set(py::iter(test_path.attr("columns")))))
            input.frame = test_path;
        else
            input = prepare_input(m, self, test_path, no_label, statistics);
    } else if (py::isinstance(test_path, m["np"].attr("ndarray"))) {
        input = prepare_input(m, self, frame_of_array(m, self, test_path), no_label, statistics);
    } else {
        throw py::type_error(
            std::string(method) + "() 的输入类型不受支持: " + Py_TYPE(test_path.ptr())->tp_name +
            "。请传入 str (CSV/xlsx/npz 文件或 CSV 文件夹的路径)、pd.DataFrame 或 np.ndarray。");
    }
    py::object target = self.attr("target_name");
    py::object X = in_columns(input.frame, target)
                       ? input.frame.attr("drop")("columns"_a = make_list(target))
                       : input.frame;
    py::object model = self.attr("model");
    std::optional<SearchModel> search = search_model(model);
    if (!search) return m["np"].attr("array")(model.attr(method)(X));
    // A model search transforms its input inside its own predict; the frame that preprocess
    // transformed already goes to the trained estimator directly.
    if (!input.transformed) X = transform_input(m, *search, X);
    const bool proba = std::string(method) == "predict_proba";
    return m["np"].attr("array")(search_output(*search, X, proba));
}

}  // namespace

py::object frame_of_array(const Module& m, const py::object& self, const py::object& array) {
    py::list names = raw_feature_columns(m, self);
    py::object frame = m["pd"].attr("DataFrame")(array);
    const size_t width = py::len(frame.attr("columns"));
    if (array.attr("ndim").cast<int>() != 2 || width != names.size())
        throw py::value_error("NumPy 数组的列数为 " + std::to_string(width) + " (形状 " +
                              std::string(py::str(array.attr("shape"))) +
                              "), 但训练数据的原始特征有 " + std::to_string(names.size()) +
                              " 列: " + std::string(py::str(names)));
    frame.attr("columns") = names;
    // an object array holds texts and numbers side by side: numeric columns get numeric dtypes,
    // as reading the same rows from a CSV file would give them
    return frame.attr("infer_objects")();
}

void add_predict_methods(const Module& m, py::dict& ns) {
    add_method(
        ns, "predict",
        [m](py::object self, py::object test_path, py::object statistics) {
            return run(m, self, test_path, "predict", statistics);
        },
        "predict(self, test_path, *, statistics=None)",
        "预测。\n\n"
        "参数:\n"
        "    test_path: 数据路径 (str 或 os.PathLike; CSV/xlsx/npz 文件, 或存放 CSV 文件的\n"
        "        文件夹)、pd.DataFrame (原始数据或已经预处理的数据) 或 np.ndarray (列顺序与训练\n"
        "        数据的原始特征一致)。\n"
        "    statistics: 冻结的统计量 (marqolin.freeze_statistics 或 frozen_statistics.load);\n"
        "        给出时, 按整批计算的量都取自它, 每行的预测不再取决于同批的其他行。\n"
        "返回:\n"
        "    np.ndarray: 每行一个预测值。",
        py::arg("self"), py::arg("test_path"), py::kw_only(),
        py::arg("statistics") = py::none());
    add_method(
        ns, "predict_proba",
        [m](py::object self, py::object test_path, py::object statistics) {
            return run(m, self, test_path, "predict_proba", statistics);
        },
        "predict_proba(self, test_path, *, statistics=None)",
        "预测各类别的概率 (分类任务)。\n\n"
        "参数:\n"
        "    test_path: 同 predict。\n"
        "    statistics: 同 predict。\n"
        "返回:\n"
        "    np.ndarray: 行数 x 类别数; 第 k 列是类别 classes_[k] 的概率。",
        py::arg("self"), py::arg("test_path"), py::kw_only(),
        py::arg("statistics") = py::none());
}

}  // namespace orvalis::api
