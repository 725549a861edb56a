// get_train_validation_data: the training and validation sets in the form the model saw them,
// with _split_train_test (stratified, time or random split) and _validation_data.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

// Label series: integer codes for classification; other tasks keep their values' own type,
// since an integer cast would truncate a regression target.
py::object label_series(const Module& m, const py::object& self, py::object values,
                        py::object name) {
    py::object pd = m["pd"];
    if (py::object(self.attr("task")).equal(py::str("classification")))
        return name.is_none() ? pd.attr("Series")(values, "dtype"_a = "int")
                              : pd.attr("Series")(values, "name"_a = name, "dtype"_a = "int");
    return name.is_none() ? pd.attr("Series")(values) : pd.attr("Series")(values, "name"_a = name);
}

py::object split_train_test(const Module& m, py::object self, py::object X, py::object y,
                            py::handle split_type) {
    require_exact_str(split_type, "split_type");
    std::string kind = py::str(split_type);
    if (kind == "time") {
        // int(len(X) * (1 - test_size)) with Python's own rules: NaN is a ValueError, an
        // infinite or huge product an OverflowError, never a wrapped-around C integer
        py::object test_size = self.attr("test_size");
        auto naming = [&] {
            return "TestSize 为 " + std::string(py::repr(test_size)) + " (按时间切分)。";
        };
        py::int_ cut = with_note(
            [&] { return py::int_(py::int_(py::len(X)) * (py::int_(1) - test_size)); }, naming);
        // a share outside (0, 1) would give a negative cut, counted from the end by iloc
        if (!(py::int_(0) < test_size && test_size < py::int_(1)))
            throw py::value_error("TestSize 应为 (0, 1) 之间的验证集比例, 实际为 " +
                                  std::string(py::repr(test_size)) + "。");
        auto head = py::reinterpret_steal<py::object>(PySlice_New(nullptr, cut.ptr(), nullptr));
        auto tail = py::reinterpret_steal<py::object>(PySlice_New(cut.ptr(), nullptr, nullptr));
        return py::make_tuple(X.attr("iloc")[head], X.attr("iloc")[tail], y.attr("iloc")[head],
                              y.attr("iloc")[tail]);
    }
    py::object split = py::module_::import("sklearn.model_selection").attr("train_test_split");
    py::object test_size = self.attr("test_size");
    py::object seed = self.attr("seed");
    if (kind == "stratified") {
        py::object strata = y;
        if (!py::object(self.attr("task")).equal(py::str("classification")))
            strata = m["pd"].attr("qcut")(y.attr("rank")("method"_a = "first"), "q"_a = 2,
                                          "labels"_a = false);
        return py::tuple(
            split(X, y, "test_size"_a = test_size, "random_state"_a = seed, "stratify"_a = strata));
    }
    return py::tuple(split(X, y, "test_size"_a = test_size, "random_state"_a = seed));
}

py::object validation_data(const Module& m, py::object self) {
    py_assert(!self.attr("training_data").is_none(), "请先使用load_training_data上传训练时的数据");
    py::object val_path = m["os"].attr("path").attr("join")(self.attr("path"), "automl", "val_res");
    py_assert(m["os"].attr("path").attr("exists")(val_path).cast<bool>(),
              "请保证result内的文件保持不变。");
    py::object val_df = m["pd"].attr("read_csv")(val_path);
    if (val_df.contains(py::str("ypred")))
        val_df.attr("drop")("columns"_a = make_list("ypred"), "inplace"_a = true);
    py::object target = self.attr("target_name");
    py::object record = self.attr("lec_record_dt");
    py::object label;
    if (record.contains(target))
        label = record[target].attr("transform")(val_df[target].attr("fillna")("na").attr("astype")(
            py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type))));
    else
        label = val_df[target];
    py::object features =
        self.attr("preprocess")(val_df.attr("drop")("columns"_a = make_list(target)));
    return py::make_tuple(m["pd"].attr("DataFrame")(features),
                          label_series(m, self, label, target));
}

py::object train_validation_data(const Module& m, py::object self, py::object path) {
    if (is_path_like(path)) path = path_text(path, "path");
    if (path.is_none())
        py_assert(!self.attr("training_data").is_none(),
                  "请输入数据集路径，或者先调用load_training_data函数。");
    else
        self.attr("training_data") = self.attr("_load_data_from_file")(path);

    // Preprocessing works in place; the raw frame kept for later calls must stay raw, or a
    // second call would encode already encoded columns again.
    py::object df;
    try {
        df =
            self.attr("preprocess")(self.attr("training_data").attr("copy")(), "return_y"_a = true);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        py_print(py::str("请确保数据和上传到orvalis平台的数据一致。\n") + py::str(e.value()));
        m["sys"].attr("exit")(-1);
        throw;  // not reached: sys.exit raises SystemExit
    }

    py::object target = self.attr("target_name");
    py::object X_train, X_val, y_train, y_val;
    if (!py::bool_(self.attr("automl_running"))) {
        py::tuple parts = self.attr("_split_train_test")(
            df.attr("drop")("columns"_a = make_list(target)), df[target], self.attr("split_type"));
        X_train = parts[0], X_val = parts[1], y_train = parts[2], y_val = parts[3];
    } else {
        py::object model = self.attr("model");
        py::object state = model.attr("_state");
        py::object size_full = model.attr("data_size_full");
        py::object first_size = state.attr("data_size")[py::int_(0)];
        bool full = size_full <= first_size;
        X_train = state.attr(full ? "X_train" : "X_train_all");
        y_train = state.attr(full ? "y_train" : "y_train_all");
        py::tuple val = self.attr("_validation_data")();
        X_val = val[0], y_val = val[1];
    }
    py::object pd = m["pd"];
    return py::make_tuple(pd.attr("DataFrame")(X_train), pd.attr("DataFrame")(X_val),
                          label_series(m, self, y_train, target),
                          label_series(m, self, y_val, py::none()));
}

}  // namespace

void add_data_methods(const Module& m, py::dict& ns) {
    add_method(
        ns, "get_train_validation_data",
        [m](py::object self, py::object path) { return train_validation_data(m, self, path); },
        "get_train_validation_data(self, path=None)",
        "获取模型训练时使用的训练集和验证集 (处理后的特征与编码后的标签)。\n\n"
        "参数:\n"
        "    path: 训练数据的路径 (CSV/xlsx/npz 文件或 CSV 文件夹); 为 None "
        "时使用上一次读取的数据。\n"
        "返回:\n"
        "    (X_train, X_val, y_train, y_val)",
        py::arg("self"), py::arg("path") = py::none());
    add_method(
        ns, "_split_train_test",
        [m](py::object self, py::object X, py::object y, py::handle split_type) {
            return split_train_test(m, self, X, y, split_type);
        },
        "_split_train_test(self, X, y, split_type)",
        "按切分方式划分训练集和验证集: \"stratified\" (分层), \"time\" (按时间顺序), "
        "其他值为随机切分。\n\n"
        "返回:\n"
        "    (X_train, X_val, y_train, y_val)",
        py::arg("self"), py::arg("X"), py::arg("y"), py::arg("split_type"));
    add_method(
        ns, "_validation_data", [m](py::object self) { return validation_data(m, self); },
        "_validation_data(self)", "", py::arg("self"));
}

}  // namespace orvalis::api
