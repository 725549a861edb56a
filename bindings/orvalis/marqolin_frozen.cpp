// marqolin.freeze_statistics, and the rows that frozen statistics are captured from or extended
// by, read as predict reads them.
#include "orvalis/frozen.hpp"

namespace orvalis::api {

namespace {

py::object read_rows(const Module& m, const py::object& self, const py::object& data,
                     const char* method) {
    if (is_path_like(data) || PyUnicode_Check(data.ptr()))
        return self.attr("_load_data_from_file")(path_text(data, "reference"));
    if (py::isinstance(data, m["pd"].attr("DataFrame"))) return data.attr("copy")("deep"_a = true);
    if (py::isinstance(data, m["np"].attr("ndarray"))) return frame_of_array(m, self, data);
    throw py::type_error(std::string(method) +
                         "() 的输入类型不受支持: " + Py_TYPE(data.ptr())->tp_name +
                         "。请传入 str (CSV/xlsx/npz 文件或 CSV 文件夹的路径)、pd.DataFrame 或 "
                         "np.ndarray。");
}

}  // namespace

py::object raw_rows(const Module& m, const py::object& self, const py::object& data,
                    const char* method) {
    py::object df = read_rows(m, self, data, method);
    check_input(m, self, df);  // what predict refuses is refused here too, before any work
    return df;
}

namespace frozen {

void add_freeze_methods(const Module& m, py::dict& ns) {
    add_method(
        ns, "freeze_statistics",
        [m](py::object self, py::object reference) {
            py::object df = raw_rows(m, self, reference, "freeze_statistics");
            FrozenRun run{"capture", py::list(), py::dict(), py::dict()};
            process_frozen(m, self, df, run);
            return new_statistics(m, self, run.entries, py::dict(), fingerprint_of(m, self),
                                  folder_of(m, self));
        },
        "freeze_statistics(self, reference)",
        "从参考数据冻结批量统计量。\n\n"
        "预处理 reference (作为一个批次) 时按整批计算的量 (标准化的均值和标准差、log 与\n"
        "square_root 的最小值、percentile 与 crossrank 的排名、softmax、entropy、orop 的均值、\n"
        "中位数填充的各列中位数、分组统计的工作表) 被记录下来。之后 predict / predict_proba /\n"
        "preprocess 传入 statistics= 时, 这些量取自冻结的统计量, 每一行的结果不再取决于同批的\n"
        "其他行。结果文件夹的 lec_record_dt 不变。\n\n"
        "参数:\n"
        "    reference: predict 接受的任何数据 (路径、pd.DataFrame 或 np.ndarray); 传入的\n"
        "        DataFrame 不会被修改。\n"
        "返回:\n"
        "    orvalis.frozen_statistics (窗口历史为空, 见 frozen_statistics.extended)。",
        py::arg("self"), py::arg("reference"));
}

}  // namespace frozen
}  // namespace orvalis::api
