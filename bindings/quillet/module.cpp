// Metric callbacks for the model search: custom_metric_classification and
// custom_metric_regression score a fitted candidate on the validation and the training rows and
// return (loss to minimise, metrics to log). The module imports nothing when loaded; each call
// imports sklearn.metrics, time and (regression) numpy.
#include <pybind11/pybind11.h>

#include "common/pyutil.hpp"

namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using orvalis::bind::sig_doc;

// One-vs-rest mean of the per-column AUC when the prediction has several columns (with two
// columns this is the binary AUC); the plain AUC of the whole prediction otherwise.
py::object auc(const py::object& roc_auc_score, const py::object& y, const py::object& proba) {
    py::object columns = proba.attr("shape")[py::int_(1)];
    if (!(columns > py::int_(1))) return roc_auc_score(y, proba);
    // the column count with int()'s rules (a float or a huge value fails as in Python)
    const py::ssize_t k_count = PyLong_AsSsize_t(py::int_(columns).ptr());
    if (k_count == -1 && PyErr_Occurred()) throw py::error_already_set();
    py::object int_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    py::object total = py::float_(0.0);
    for (py::ssize_t k = 0; k < k_count; ++k) {
        // (y == k).astype(int)
        py::object is_k = py::reinterpret_steal<py::object>(
            PyObject_RichCompare(y.ptr(), py::int_(k).ptr(), Py_EQ));
        if (!is_k) throw py::error_already_set();
        py::object positive = is_k.attr("astype")(int_type);
        py::object column = proba[py::make_tuple(py::slice(py::none(), py::none(), py::none()), k)];
        total = total + roc_auc_score(positive, column);
    }
    return total / columns;
}

struct ClassificationScores {
    py::object log_loss, f1, accuracy, precision, recall, auc;
};

ClassificationScores classification_scores(const py::module_& metrics, const py::object& y,
                                           const py::object& proba, const py::object& predicted,
                                           const py::object& labels, const py::object& weight) {
    ClassificationScores s;
    s.log_loss =
        metrics.attr("log_loss")(y, proba, "labels"_a = labels, "sample_weight"_a = weight);
    s.f1 = metrics.attr("f1_score")(y, predicted, "average"_a = "weighted");
    s.accuracy = metrics.attr("accuracy_score")(y, predicted);
    s.precision = metrics.attr("precision_score")(y, predicted, "average"_a = "weighted");
    s.recall = metrics.attr("recall_score")(y, predicted, "average"_a = "weighted");
    s.auc = auc(metrics.attr("roc_auc_score"), y, proba);
    return s;
}

// (now - start) / len(X): a table without rows fails with ZeroDivisionError, as in Python.
py::object per_row(const py::module_& time, const py::object& start, const py::object& X) {
    py::object elapsed = time.attr("time")() - start;
    return elapsed / py::int_(py::len(X));
}

py::tuple custom_metric_classification(py::object X_val, py::object y_val, py::object estimator,
                                       py::object labels, py::object X_train, py::object y_train,
                                       py::object weight_val, py::object weight_train, py::args) {
    py::module_ metrics = py::module_::import("sklearn.metrics");
    py::module_ time = py::module_::import("time");

    py::object start = time.attr("time")();
    py::object y_pred = estimator.attr("predict_proba")(X_val);
    py::object pred_time = per_row(time, start, X_val);
    py::object y_pred_labels = estimator.attr("predict")(X_val);
    ClassificationScores val =
        classification_scores(metrics, y_val, y_pred, y_pred_labels, labels, weight_val);

    y_pred = estimator.attr("predict_proba")(X_train);
    y_pred_labels = estimator.attr("predict")(X_train);
    ClassificationScores train =
        classification_scores(metrics, y_train, y_pred, y_pred_labels, labels, weight_train);

    py::dict result;
    result["train_log_loss"] = train.log_loss;
    result["train_f1"] = train.f1;
    result["train_accuracy"] = train.accuracy;
    result["train_precision"] = train.precision;
    result["train_recall"] = train.recall;
    result["train_auc"] = train.auc;
    result["val_log_loss"] = val.log_loss;
    result["val_f1"] = val.f1;
    result["val_accuracy"] = val.accuracy;
    result["val_precision"] = val.precision;
    result["val_recall"] = val.recall;
    result["val_auc"] = val.auc;
    result["pred_time"] = pred_time;
    return py::make_tuple(val.log_loss, result);
}

py::tuple custom_metric_regression(py::object X_val, py::object y_val, py::object estimator,
                                   py::object /*labels*/, py::object X_train, py::object y_train,
                                   py::object /*weight_val*/, py::object /*weight_train*/,
                                   py::args) {
    py::module_ metrics = py::module_::import("sklearn.metrics");
    py::module_ time = py::module_::import("time");
    py::module_ np = py::module_::import("numpy");

    py::object start = time.attr("time")();
    py::object y_pred = estimator.attr("predict")(X_val);
    py::object pred_time = per_row(time, start, X_val);
    py::object val_mse = metrics.attr("mean_squared_error")(y_val, y_pred);
    py::object val_rmse = np.attr("sqrt")(val_mse);
    py::object val_mae = metrics.attr("mean_absolute_error")(y_val, y_pred);
    py::object val_r_squared = metrics.attr("r2_score")(y_val, y_pred);

    y_pred = estimator.attr("predict")(X_train);
    py::object train_mse = metrics.attr("mean_squared_error")(y_train, y_pred);
    py::object train_rmse = np.attr("sqrt")(train_mse);
    py::object train_mae = metrics.attr("mean_absolute_error")(y_train, y_pred);
    py::object train_r_squared = metrics.attr("r2_score")(y_train, y_pred);

    py::dict result;
    result["train_MSE"] = train_mse;
    result["train_RMSE"] = train_rmse;
    result["train_MAE"] = train_mae;
    result["train_R-squared"] = train_r_squared;
    result["val_MSE"] = val_mse;
    result["val_RMSE"] = val_rmse;
    result["val_MAE"] = val_mae;
    result["val_R-squared"] = val_r_squared;
    result["pred_time"] = pred_time;
    return py::make_tuple(val_rmse, result);
}

constexpr const char* kParameters =
    "(X_val, y_val, estimator, labels, X_train, y_train, weight_val=None, weight_train=None, "
    "*args)";

std::string signature(const char* name) { return std::string(name) + kParameters; }

}  // namespace

#include "common/module_init.hpp"
ORVALIS_MODULE(quillet, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Metric callbacks for the model search (validation loss plus logged metrics).";

    auto params = [] {
        return std::make_tuple(py::arg("X_val"), py::arg("y_val"), py::arg("estimator"),
                               py::arg("labels"), py::arg("X_train"), py::arg("y_train"),
                               py::arg("weight_val") = py::none(),
                               py::arg("weight_train") = py::none());
    };
    auto [a0, a1, a2, a3, a4, a5, a6, a7] = params();
    m.def("custom_metric_classification", &custom_metric_classification, a0, a1, a2, a3, a4, a5, a6,
          a7,
          sig_doc(signature("custom_metric_classification").c_str(),
                  "Score a fitted classifier: returns (validation log loss, metrics), the metrics "
                  "being log loss, weighted F1, accuracy, weighted precision and recall and the "
                  "one-vs-rest mean AUC on the training and the validation rows, and the seconds "
                  "of probability prediction per validation row.")
              .c_str());
    m.def("custom_metric_regression", &custom_metric_regression, a0, a1, a2, a3, a4, a5, a6, a7,
          sig_doc(signature("custom_metric_regression").c_str(),
                  "Score a fitted regressor: returns (validation RMSE, metrics), the metrics being "
                  "MSE, RMSE, MAE and R-squared on the training and the validation rows, and the "
                  "seconds of prediction per validation row.")
              .c_str());
}
