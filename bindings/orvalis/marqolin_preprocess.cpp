// Reading data files and folders, and bringing raw tables into the model's input form:
// _load_data_from_file, _normalize_column_names, _process_data, preprocess.
#include "orvalis/frozen.hpp"
#include "orvalis/marqolin.hpp"
#include "orvalis/search_model.hpp"

namespace orvalis::api {

namespace {

py::object load_data_from_file(const Module& m, py::handle path_arg) {
    require_exact_str(path_arg, "input_file_path");
    py::str path = py::reinterpret_borrow<py::str>(path_arg);
    py::object pd = m["pd"];
    auto ends_with = [&](const char* suffix) { return path.attr("endswith")(suffix).cast<bool>(); };
    py::object df;
    if (ends_with("xlsx")) {
        df = pd.attr("read_excel")(path);
    } else if (ends_with("npz")) {
        // One column per array of the archive, named by its key. Handing the archive object
        // itself to DataFrame() would give a one-column frame of the key names: the data lost.
        py::object archive = m["np"].attr("load")(path);
        py::dict columns;
        try {
            for (py::handle key : archive.attr("files")) columns[key] = archive[key];
        } catch (...) {
            archive.attr("close")();
            throw;
        }
        archive.attr("close")();
        df = pd.attr("DataFrame")(columns);
    } else if (m["os"].attr("path").attr("isdir")(path).cast<bool>()) {
        df = pd.attr("DataFrame")();
        // in name order: the file system's listing order is arbitrary, and rolling windows need
        // the rows of a panel split into one file per period in their order
        py::list entries = py::module_::import("glob").attr("glob")(path + py::str("/*"));
        entries.attr("sort")();
        if (entries.empty())
            throw py::value_error("文件夹 " + std::string(py::repr(path)) +
                                  " 中没有任何文件: 没有可以读取的数据。");
        for (py::handle entry : entries)
            df = pd.attr("concat")(
                py::make_tuple(df, pd.attr("read_csv")(entry, "encoding"_a = "utf-8")));
    } else if (ends_with("csv")) {
        df = pd.attr("read_csv")(path, "encoding"_a = "utf-8");
    } else {
        throw py::value_error(
            "无法读取数据: " + std::string(py::repr(path)) +
            "。只支持以 xlsx、npz 或 csv 结尾的文件 (区分大小写), 或存放 CSV 文件的文件夹。");
    }
    return m["deepcopy"](df);
}

py::object normalize_column_names(py::object df) {
    py::list names;
    for (py::handle name : df.attr("columns").attr("tolist")())
        names.append(name.attr("replace")(" ", "_"));
    df.attr("columns") = names;
    return df;
}

// Runs fn while TaskConfig() gives this object's own configuration: the feature operators that
// read task settings (the grouping column of the rolling windows) must see the folder being
// served, not whichever folder was loaded last in the process.
template <class Fn>
py::object with_own_task_config(const py::object& self, Fn&& fn) {
    py::object cfg = py::getattr(self, "_task_cfg", py::none());
    if (cfg.is_none()) return fn();
    py::object scope = py::module_::import("module.common.task_config").attr("active")(cfg);
    scope.attr("__enter__")();
    py::object result;
    try {
        result = fn();
    } catch (...) {
        scope.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    scope.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

// The names of the model's input columns, or an empty set when the model does not say.
py::set model_inputs(const py::object& self) {
    py::object names = py::getattr(py::getattr(self, "model", py::none()), "feature_names_in_",
                                   py::none());
    py::set out;
    if (names.is_none()) return out;
    for (py::handle name : names) out.add(name);
    return out;
}

// Whether a column with an encoder still holds the values it encodes: texts (or datetimes) as
// read, not the integer codes an earlier pass wrote. A frame passed twice is encoded once.
bool holds_values_to_encode(const Module& m, const py::object& column, const py::object& dtype) {
    py::object types = m["pd"].attr("api").attr("types");
    py::object infer = types.attr("infer_dtype");
    if (dtype.equal(py::str("datetime64[ns]"))) return true;
    if (dtype.equal(py::str("object")))
        return !infer(column, "skipna"_a = false).equal(py::str("integer"));
    if (py::isinstance(dtype, m["pd"].attr("CategoricalDtype")))
        return !infer(dtype.attr("categories"), "skipna"_a = false).equal(py::str("integer"));
    return types.attr("is_string_dtype")(dtype).cast<bool>();
}

// The encoder's input: missing values as "na", every value as its text.
py::object encoder_input(const py::object& column, const py::object& dtype) {
    py::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::object values = column;
    // category and string dtypes first become plain objects: "na" is no category of theirs,
    // and their missing value (pd.NA) must become "na" as NaN does
    if (!dtype.equal(py::str("object")) && !dtype.equal(py::str("datetime64[ns]")))
        values = values.attr("astype")(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return values.attr("fillna")("na").attr("astype")(str_type);
}

// "构建组合特征 'name' 时出错 (结果文件夹: path)": the first feature of the list whose building
// fails again, alone, on a copy of the frame and the record; the folder alone when none does.
std::string feature_note(const Module& m, const py::object& self, py::object frame,
                         const py::object& features, const py::object& record,
                         py::error_already_set& error) {
    std::string folder = " (结果文件夹: " + std::string(py::str(self.attr("path"))) + ")。";
    try {
        if (!PyList_Check(features.ptr())) return "构建组合特征时出错" + folder;
        py::object build = py::module_::import("brevant").attr("name2feature");
        py::object trial_record = m["deepcopy"](record);
        for (py::handle name : py::list(features)) {
            try {
                frame = build(frame, make_list(name), trial_record);
            } catch (py::error_already_set& again) {
                if (!is_exception(again)) throw;
                if (again.matches(error.type()))
                    return "构建组合特征 " + std::string(py::repr(name)) + " 时出错" + folder;
                break;
            }
        }
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    }
    return "构建组合特征时出错" + folder;
}

// `frozen`: the run's frozen statistics, or nullptr for the batch's own.
py::object process_data(const Module& m, py::object self, py::object ori_df,
                        FrozenRun* frozen = nullptr) {
    return with_own_task_config(self, [&]() -> py::object {
        py::list stripped;
        for (py::handle name : ori_df.attr("columns").attr("tolist")())
            stripped.append(name.attr("strip")());
        ori_df.attr("columns") = stripped;

        py::object record = self.attr("lec_record_dt");
        py::object time_index = self.attr("time_index");
        py::object loc = ori_df.attr("loc");
        py::object pd = m["pd"];
        // pandas counts the references to a frame to spot assignments into a temporary copy;
        // called from here a caller's own frame can look like one, so hold one reference more.
        py::object held = ori_df;
        py::set inputs = model_inputs(self);
        py::list columns = ori_df.attr("columns").attr("tolist")();
        py::list dtypes = ori_df.attr("dtypes").attr("tolist")();
        for (size_t k = 0; k < columns.size(); ++k) {
            py::object col = columns[k];
            py::object dtype = dtypes[k];
            if (col.equal(time_index) || !record.contains(col)) continue;
            py::object key = py::make_tuple(py::slice(), col);
            py::object column = loc[key];
            if (!holds_values_to_encode(m, column, dtype)) continue;
            // by position: the frame's row labels may repeat (a folder of files)
            py::object codes = with_note(
                [&] {
                    return m["np"].attr("asarray")(
                        record[col].attr("transform")(encoder_input(column, dtype)));
                },
                [&] {
                    return "对列 " + std::string(py::repr(col)) + " 编码时出错 (编码器: " +
                           std::string(py::str(self.attr("labelencoder_dt_path"))) + ")。";
                });
            if (inputs.contains(col.attr("replace")(" ", "_"))) {
                // A model input gets integer codes in a column of its own, as the model was
                // trained on: its input transformation then reads them as numbers or matches
                // them with the categories it recorded, and a second pass leaves them alone.
                ori_df[col] = pd.attr("Series")(codes, "index"_a = ori_df.attr("index"));
            } else if (dtype.equal(py::str("object"))) {
                loc[key] = codes;
            } else {
                ori_df[col] = pd.attr("Series")(
                    codes, "index"_a = ori_df.attr("index"),
                    "dtype"_a = py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
            }
        }

        py::object df = self.attr("_normalize_column_names")(ori_df);
        // The engine builds the whole list in one call. When it fails, the feature it was building
        // is found by replaying the names one by one on what the frame held before the call.
        py::object features = self.attr("adv_features");
        py::object before = df.attr("copy")("deep"_a = false);
        try {
            if (!frozen) {
                df = m["name2feature"](df, features, record);
            } else {
                // capturing writes the record's entries into a copy: the folder's stays as loaded
                const bool capture = std::string(frozen->mode) == "capture";
                py::object used = capture ? py::module_::import("builtins").attr("dict")(record)
                                          : record;
                df = py::module_::import("brevant").attr("_name2feature_frozen")(
                    df, features, used, frozen->entries, frozen->history, frozen->new_history,
                    frozen->mode);
            }
        } catch (py::error_already_set& e) {
            if (is_exception(e)) add_note(e, feature_note(m, self, before, features, record, e));
            throw;
        }

        py::object id_index = self.attr("id_index");
        if (in_columns(df, id_index))
            df.attr("drop")("columns"_a = make_list(id_index), "inplace"_a = true);
        py::object group_id = self.attr("group_id");
        for (py::handle col : self.attr("ignore_features")) {
            if (in_columns(df, col) && !col.equal(time_index) && !col.equal(group_id))
                df.attr("drop")("columns"_a = make_list(col), "inplace"_a = true);
        }
        if (!time_index.is_none()) {
            py::object held_df = df;  // as above: a frame made by the feature engine is no copy
            df[time_index] = m["pd"].attr("to_datetime")(df[time_index]);
        }
        return df;
    });
}

}  // namespace

py::object process_frozen(const Module& m, py::object self, py::object df, FrozenRun& run) {
    return process_data(m, self, std::move(df), &run);
}

ModelInput prepare_input(const Module& m, py::object self, py::object input,
                         const py::object& return_y, const py::object& statistics) {
    py::object pd = m["pd"];
    if (is_path_like(input)) input = path_text(input, "input");
    bool is_text = PyUnicode_Check(input.ptr());
    py_assert(is_text || py::isinstance(input, pd.attr("DataFrame")),
              "请输入数据集路径 或 pd.DataFrame");
    std::optional<FrozenRun> frozen;
    if (!statistics.is_none()) {
        frozen::require_for(m, statistics, self, "preprocess");
        frozen = frozen::replay_run(statistics);
    }
    // _process_data, with the frozen statistics when given
    auto process = [&](py::object raw) {
        return frozen ? process_data(m, self, raw, &*frozen) : self.attr("_process_data")(raw);
    };
    if (is_text) input = pd.attr("read_csv")(input);
    check_input(m, self, input);
    py::object target = self.attr("target_name");
    if (py::bool_(self.attr("automl_running"))) {
        py::object model = self.attr("model");
        py::object processed = process(input);
        std::optional<SearchModel> search = search_model(model);
        py::object df = search ? transform_input(m, *search, processed)
                               : model.attr("_state").attr("task").attr("preprocess")(
                                     processed, model.attr("_transformer"));
        if (py::bool_(return_y) && input.contains(target))
            df = pd.attr("concat")(make_list(df.attr("reset_index")("drop"_a = true),
                                             input[target].attr("reset_index")("drop"_a = true)),
                                   "axis"_a = 1);
        return {df, search.has_value()};
    }
    py::object df = process(input);
    if (!py::bool_(return_y) && df.contains(target))
        return {df.attr("drop")("columns"_a = make_list(target)), false};
    return {df, false};
}

void add_preprocess_methods(const Module& m, py::dict& ns) {
    add_method(
        ns, "_load_data_from_file",
        [m](py::object, py::handle path) { return load_data_from_file(m, path); },
        "_load_data_from_file(self, input_file_path)",
        "读取数据文件: xlsx (Excel), npz (NumPy 压缩包), 存放 CSV 文件的文件夹, 或 csv 文件。\n\n"
        "参数:\n"
        "    input_file_path: 文件或文件夹路径 (str)。\n"
        "返回:\n"
        "    pd.DataFrame",
        py::arg("self"), py::arg("input_file_path"));
    add_method(
        ns, "_normalize_column_names",
        [](py::object, py::object df) { return normalize_column_names(df); },
        "_normalize_column_names(self, df)", "将列名中的空格替换为下划线, 返回同一个 DataFrame。",
        py::arg("self"), py::arg("df"));
    add_method(
        ns, "_process_data",
        [m](py::object self, py::object df) { return process_data(m, self, df); },
        "_process_data(self, ori_df)",
        "数据处理: 去除列名首尾空白, 对类别列进行编码 (缺失值记为 \"na\", 未见过的值编码为 OOV),\n"
        "规范列名, 生成组合特征, 删除 id 列和忽略的特征, 转换时间列。\n\n"
        "参数:\n"
        "    ori_df: 原始数据 (会被原地修改)。\n"
        "返回:\n"
        "    pd.DataFrame",
        py::arg("self"), py::arg("ori_df"));
    add_method(
        ns, "preprocess",
        [m](py::object self, py::object input, py::object return_y, py::object statistics) {
            return prepare_input(m, self, input, return_y, statistics).frame;
        },
        "preprocess(self, input, return_y=False, *, statistics=None)",
        "数据预处理, 与训练时的处理保持一致。\n\n"
        "参数:\n"
        "    input: 数据集路径 (CSV 文件; str 或 os.PathLike) 或 pd.DataFrame。\n"
        "    return_y: 是否在结果中保留标签列 (数据中有标签列时)。\n"
        "    statistics: 冻结的统计量 (见 predict); 给出时, 按整批计算的量都取自它。\n"
        "返回:\n"
        "    pd.DataFrame: 处理后的数据。",
        py::arg("self"), py::arg("input"), py::arg("return_y") = false, py::kw_only(),
        py::arg("statistics") = py::none());
}

}  // namespace orvalis::api
