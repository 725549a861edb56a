// marqolin(path): read a result folder (configuration, label encoders and incremental record,
// engineered-feature list, trained model) into the object's attributes.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

void init(const Module& m, py::object self, py::handle path_arg) {
    require_exact_str(path_arg, "path");
    py::object path = py::reinterpret_borrow<py::object>(path_arg);
    py::object join = m["os"].attr("path").attr("join");

    self.attr("path") = path;
    self.attr("labelencoder_dt_path") = join(path, "autofe", "labelencoder.pkl");
    self.attr("autofe_result_path") = join(path, "autofe", "result");
    self.attr("automl_result_path") = join(path, "automl", "logs");
    py::object config_path = join(path, "config.yaml");
    self.attr("save_path") = join(self.attr("path"), "save");
    self.attr("model_path") = join(path, "automl", "result");

    py::object cfg = m["TaskConfig"](config_path).attr("cfg");
    py::object feature = cfg["Feature"];
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

    py::object pickle_load = m["pickle"].attr("load");
    if (m["os"].attr("path").attr("exists")(self.attr("labelencoder_dt_path")).cast<bool>())
        self.attr("lec_record_dt") = with_binary_file(self.attr("labelencoder_dt_path"),
                                                      [&](py::object f) { return pickle_load(f); });
    else
        self.attr("lec_record_dt") = py::dict();

    py::object content = with_binary_file(self.attr("autofe_result_path"),
                                          [](py::object f) { return f.attr("read")(); });
    self.attr("adv_features") = m["json"].attr("loads")(content)["combination_features"];

    self.attr("model") =
        with_binary_file(self.attr("model_path"), [&](py::object f) { return pickle_load(f); });

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
                                    "    path: 训练结果文件夹的路径 (str)。");
    store_method(ns, "__init__",
                 py::cpp_function([m](py::object self, py::handle path) { init(m, self, path); },
                                  py::name("init"), py::arg("self"), py::arg("path"), doc.c_str()));
}

}  // namespace orvalis::api
