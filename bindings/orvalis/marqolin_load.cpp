// marqolin(path): read a result folder (configuration, label encoders and incremental record,
// engineered-feature list, trained model) into the object's attributes.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

void init(const Module& m, py::object self, py::handle path_arg) {
    py::object path = path_text(path_arg, "path");
    py::object join = m["os"].attr("path").attr("join");

    self.attr("path") = path;
    self.attr("labelencoder_dt_path") = join(path, "autofe", "labelencoder.pkl");
    self.attr("autofe_result_path") = join(path, "autofe", "result");
    self.attr("automl_result_path") = join(path, "automl", "logs");
    py::object config_path = join(path, "config.yaml");
    self.attr("save_path") = join(self.attr("path"), "save");
    self.attr("model_path") = join(path, "automl", "result");

    // Not a result folder at all: one line that says so, before anything is read.
    py::object os_path = m["os"].attr("path");
    const char* missing = nullptr;
    if (!os_path.attr("isdir")(path).cast<bool>())
        missing = "不存在或不是文件夹";
    else if (!os_path.attr("isfile")(config_path).cast<bool>())
        missing = "中没有 config.yaml";
    if (missing) {
        std::string text =
            "不是训练结果文件夹: " + std::string(py::repr(path)) + " " + missing + "。";
        PyErr_SetString(PyExc_FileNotFoundError, text.c_str());
        throw py::error_already_set();
    }

    // A damaged folder names the file and what it should hold; the error itself stays as it is.
    auto in_file = [](const py::object& file, const char* expected) {
        return [file, expected] {
            return "读取结果文件 " + std::string(py::str(file)) + " 时出错: 应为" + expected + "。";
        };
    };
    py::object cfg, feature;
    with_note(
        [&] {
            cfg = m["TaskConfig"](config_path).attr("cfg");
            feature = cfg["Feature"];
            self.attr("target_name") = feature["TargetName"];
            self.attr("feature_name") = feature["FeatureName"];
            self.attr("task") = feature["TaskType"];
            self.attr("training_data") = py::none();
            self.attr("id_index") = feature.attr("get")("id_index");
            self.attr("time_index") = feature.attr("get")("TimeIndex");
            self.attr("ignore_features") = feature.attr("get")("IgnoreFeature", py::list());
            self.attr("group_id") = feature.attr("get")("GroupIndex");
            self.attr("split_type") = feature.attr("get")("SplitType", "stratified");
            self.attr("seed") = feature.attr("get")("RandomSeed", 1024);
            self.attr("autofe_running") = cfg["AutoFE"].attr("get")("Running");
            self.attr("automl_running") = cfg["AutoML"].attr("get")("Running");
            self.attr("test_size") = py::float_(feature.attr("get")("TestSize", 0.25));
            return 0;
        },
        in_file(config_path,
                " YAML 映射, 含 \"Feature\" 节 (必需的键 \"TargetName\"、\"FeatureName\"、"
                "\"TaskType\"; \"TestSize\" 为数值) 以及 \"AutoFE\"、\"AutoML\" 节"));

    py::object pickle_load = m["pickle"].attr("load");
    py::object record_path = self.attr("labelencoder_dt_path");
    const char* record_expected = " pickle 保存的一个 dict (列名 -> 标签编码器, 特征名 -> 统计表)";
    if (m["os"].attr("path").attr("exists")(record_path).cast<bool>()) {
        py::object record = with_note(
            [&] {
                return with_binary_file(record_path, [&](py::object f) { return pickle_load(f); });
            },
            in_file(record_path, record_expected));
        // every reader subscripts the record by column or feature name
        if (!PyDict_Check(record.ptr()))
            throw py::type_error("结果文件 " + std::string(py::str(record_path)) + " 应为" +
                                 record_expected + ", 实际为 " + Py_TYPE(record.ptr())->tp_name +
                                 "。");
        self.attr("lec_record_dt") = record;
    } else {
        self.attr("lec_record_dt") = py::dict();
    }

    py::object features_path = self.attr("autofe_result_path");
    with_note(
        [&] {
            py::object content = with_binary_file(
                features_path, [](py::object f) { return f.attr("read")(); });
            self.attr("adv_features") = m["json"].attr("loads")(content)["combination_features"];
            return 0;
        },
        in_file(features_path, " JSON 对象, 其键 \"combination_features\" 为组合特征名的列表"));

    py::object model_path = self.attr("model_path");
    self.attr("model") = with_note(
        [&] { return with_binary_file(model_path, [&](py::object f) { return pickle_load(f); }); },
        in_file(model_path, " pickle 保存的训练模型 (FLAML AutoML 对象或 scikit-learn 模型)"));

    // Estimators that report no class count get -1; models without this chain load unchanged.
    try {
        py::object inner = self.attr("model").attr("_trained_estimator").attr("_model");
        if (inner.attr("_n_classes").is_none()) inner.attr("_n_classes") = -1;
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    }

    // The configuration this object's feature building runs under (see _process_data).
    self.attr("_task_cfg") = cfg;
}

}  // namespace

void add_load_methods(const Module& m, py::dict& ns) {
    // named init: pybind11 treats a function named __init__ as a constructor of its own classes
    std::string doc = bind::sig_doc("init(self, path)",
                                    "读取训练结果文件夹: config.yaml, autofe/labelencoder.pkl, "
                                    "autofe/result, automl/result。\n\n"
                                    "参数:\n"
                                    "    path: 训练结果文件夹的路径 (str 或 os.PathLike)。");
    // a method like the others, so help() shows its signature rather than pybind11's internals
    add_method_with_defaults(
        ns, "__init__",
        py::cpp_function([m](py::object self, py::handle path) { init(m, self, path); },
                         py::name("init"), py::arg("self"), py::arg("path"), doc.c_str()),
        py::dict());
}

}  // namespace orvalis::api
