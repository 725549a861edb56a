// Diagnostic charts: argument checks and derived values here, the drawing in module.util.report.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

constexpr const char* kNotClassification = "该任务识别到不是分类任务，请确认任务类型！";

void require_optional_int(py::handle value, const char* arg) {
    if (value.is_none() || (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()))) return;
    if (py::isinstance(value, py::module_::import("numpy").attr("integer"))) return;
    raise_arg_type(arg, "int", value);
}

bool is_classification(const py::object& self) {
    return py::object(self.attr("task")).equal(py::str("classification"));
}

void require_classification(const py::object& self) {
    py_assert(is_classification(self), kNotClassification);
}

constexpr const char* kPathDoc =
    "    path: 图片保存路径 (str 或 os.PathLike; 缺少的文件夹会被创建); 为 None (默认) 时直接显示"
    "图片。";

// {label value: class name} for the distinct values of `values`, when the folder's encoder of
// column `key` decodes them; None otherwise.
py::object class_names(const Module& m, const py::object& self, py::handle key,
                       const py::object& values) {
    py::object distinct =
        m["pd"]
            .attr("Series")(m["np"].attr("asarray")(values).attr("ravel")(),
                            "dtype"_a = py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
            .attr("dropna")()
            .attr("unique")();
    py::object names = decoded_labels(m, self, key, distinct);
    if (names.is_none()) return names;
    py::dict out;
    py::list labels = distinct.attr("tolist")();
    py::list texts = m["np"].attr("asarray")(names).attr("tolist")();
    for (size_t k = 0; k < labels.size(); ++k) out[labels[k]] = texts[k];
    return out;
}

// The chart function's keyword arguments: class_names when there are names to show.
py::dict names_kwargs(const py::object& names) {
    py::dict kwargs;
    if (!names.is_none()) kwargs["class_names"] = names;
    return kwargs;
}

}  // namespace

void add_plot_methods(const Module& m, py::dict& ns) {
    add_method(
        ns, "plot_box",
        [m](py::object self, py::object X, py::object y, py::handle feature_name,
            py::handle target_name, py::handle path) {
            require_exact_str(feature_name, "feature_name");
            require_exact_str(target_name, "target_name");
            py::object file = optional_path_text(path, "path");
            // the label values as the chart takes them: a frame's column of that name, or its first
            py::object labels = y;
            if (py::isinstance(y, m["pd"].attr("DataFrame")))
                labels = in_columns(y, target_name)
                             ? y[target_name]
                             : y.attr("iloc")[py::make_tuple(py::slice(), 0)];
            py::object names = class_names(m, self, target_name, labels);
            m["plot_box"](X, y, feature_name, target_name, file, **names_kwargs(names));
        },
        "plot_box(self, X, y, feature_name, target_name, path=None)",
        (std::string(
             "绘制箱线图: 特征在各标签取值下的分布。\n\n参数:\n"
             "    X: 包含特征列的数据。\n    y: 标签数据。\n    feature_name: 要分析的特征列。\n"
             "    target_name: 标签列。\n") +
         kPathDoc)
            .c_str(),
        py::arg("self"), py::arg("X"), py::arg("y"), py::arg("feature_name"),
        py::arg("target_name"), py::arg("path") = py::none());
    add_method(
        ns, "plot_kde",
        [m](py::object, py::object X, py::handle feature_name, py::handle path) {
            require_exact_str(feature_name, "feature_name");
            m["plot_kde"](X, feature_name, optional_path_text(path, "path"));
        },
        "plot_kde(self, X, feature_name, path=None)",
        (std::string("绘制特征的核密度估计图。\n\n参数:\n    X: 包含特征列的数据。\n"
                     "    feature_name: 要分析的特征列。\n") +
         kPathDoc)
            .c_str(),
        py::arg("self"), py::arg("X"), py::arg("feature_name"), py::arg("path") = py::none());
    add_method(
        ns, "plot_trend_comparison",
        [m](py::object self, py::object X, py::handle feature_name, py::handle target_name,
            py::handle path) {
            require_exact_str(feature_name, "feature_name");
            require_exact_str(target_name, "target_name");
            py::object file = optional_path_text(path, "path");
            py::object feature = X[feature_name];
            py::object label = X[target_name];
            // a class label is drawn as categories: by name when the encoder decodes it
            py::object names = class_names(m, self, target_name, label);
            if (names.is_none() && is_classification(self) &&
                py::object(self.attr("target_name")).equal(target_name)) {
                py::dict same;
                for (py::handle value : label.attr("dropna")().attr("unique")().attr("tolist")())
                    same[value] = py::str(value);
                names = same;
            }
            m["plot_trends"](feature, label, feature_name, target_name, file,
                             **names_kwargs(names));
        },
        "plot_trend_comparison(self, X, feature_name, target_name, path=None)",
        (std::string(
             "绘制特征与标签的趋势对比图。\n\n参数:\n    X: 同时包含特征列和标签列的数据。\n"
             "    feature_name: 特征列。\n    target_name: 标签列。\n") +
         kPathDoc)
            .c_str(),
        py::arg("self"), py::arg("X"), py::arg("feature_name"), py::arg("target_name"),
        py::arg("path") = py::none());
    add_method(
        ns, "plot_roc_curve",
        [m](py::object self, py::object y_true, py::object y_score, py::object n_classes,
            py::handle roc_type, py::handle path) {
            require_classification(self);
            require_optional_int(n_classes, "n_classes");
            require_exact_str(roc_type, "roc_type");
            py::object file = optional_path_text(path, "path");
            if (n_classes.is_none()) n_classes = py::int_(py::len(m["np"].attr("unique")(y_true)));
            // every score column's class when the codes decode, else those of y_true
            py::object target = self.attr("target_name");
            py::object names = class_names(m, self, target, m["np"].attr("arange")(n_classes));
            if (names.is_none()) names = class_names(m, self, target, y_true);
            m["plot_roc_curve"](y_true, y_score, n_classes, roc_type, file, **names_kwargs(names));
        },
        "plot_roc_curve(self, y_true, y_score, n_classes=None, roc_type='both', path=None)",
        (std::string(
             "绘制 ROC 曲线 (分类任务)。\n\n参数:\n    y_true: 真实标签。\n"
             "    y_score: 预测概率或得分。\n    n_classes: 类别数; 为 None 时由 y_true 得出。\n"
             "    roc_type: \"both\" (宏平均与微平均), \"macro\" 或 \"micro\"。\n") +
         kPathDoc)
            .c_str(),
        py::arg("self"), py::arg("y_true"), py::arg("y_score"), py::arg("n_classes") = py::none(),
        py::arg("roc_type") = "both", py::arg("path") = py::none());

    // plt.cm is matplotlib.cm: the same colour map, without importing pyplot
    py::object blues = py::module_::import("matplotlib.cm").attr("Blues");
    std::string confusion_doc = bind::sig_doc(
        "plot_confusion_matrix(self, y_true, y_pred, normalize=False, title=None, cmap=None, "
        "path=None)",
        (std::string(
             "绘制混淆矩阵 (分类任务)。\n\n参数:\n    y_true: 真实标签。\n    y_pred: 预测标签。\n"
             "    normalize: 是否归一化。\n    title: 图标题。\n    cmap: 颜色映射, 默认 "
             "plt.cm.Blues。\n") +
         kPathDoc)
            .c_str());
    py::cpp_function confusion(
        [m](py::object self, py::object y_true, py::object y_pred, py::object normalize,
            py::handle title, py::object cmap, py::handle path) {
            require_classification(self);
            require_optional_str(title, "title");
            py::object file = optional_path_text(path, "path");
            py::object classes = m["np"].attr("unique")(y_true);
            py::object names = class_names(m, self, self.attr("target_name"), classes);
            m["plot_confusion_matrix"](y_true, y_pred, classes, normalize, title, cmap, file,
                                       **names_kwargs(names));
        },
        py::name("plot_confusion_matrix"), py::arg("self"), py::arg("y_true"), py::arg("y_pred"),
        py::arg("normalize") = false, py::arg("title") = py::none(), py::arg("cmap") = blues,
        py::arg("path") = py::none(), confusion_doc.c_str());
    py::dict defaults;
    defaults["cmap"] = blues;
    py::dict shown;
    shown["cmap"] = "plt.cm.Blues";
    add_method_with_defaults(ns, "plot_confusion_matrix", confusion, defaults, shown);

    add_method(
        ns, "plot_regression_scatter",
        [m](py::object, py::object y_true, py::object y_pred, py::handle model_name,
            py::handle path) {
            require_exact_str(model_name, "model_name");
            m["plot_regression_results"](y_true, y_pred, model_name,
                                         optional_path_text(path, "path"));
        },
        "plot_regression_scatter(self, y_true, y_pred, model_name='Model', path=None)",
        (std::string("绘制回归结果散点图 (预测值对真实值)。\n\n参数:\n    y_true: 真实值。\n    "
                     "y_pred: 预测值。\n"
                     "    model_name: 图例中的模型名称。\n") +
         kPathDoc)
            .c_str(),
        py::arg("self"), py::arg("y_true"), py::arg("y_pred"), py::arg("model_name") = "Model",
        py::arg("path") = py::none());
}

}  // namespace orvalis::api
