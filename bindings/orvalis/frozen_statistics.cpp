// class frozen_statistics: what marqolin.freeze_statistics captured from a reference table, with
// the window history of the rolling features; extended by later rows, saved to a file of plain
// data and loaded from one (arrays and a JSON header: no pickle, so loading runs nobody's code).
#include <string>

#include "orvalis/frozen.hpp"

namespace orvalis::api::frozen {

namespace {

constexpr const char* kFormat = "orvalis frozen statistics";
constexpr int kVersion = 1;

py::module_ np() { return py::module_::import("numpy"); }

// sha256 over the header and every array (its dtype, shape and bytes).
py::str digest_of(const py::bytes& header, const py::list& arrays) {
    py::object h = py::module_::import("hashlib").attr("sha256")(header);
    for (py::handle a : arrays) {
        py::array arr = np().attr("ascontiguousarray")(a);
        h.attr("update")(py::bytes(std::string(py::str(arr.attr("dtype").attr("str"))) + '|' +
                                   std::string(py::str(arr.attr("shape")))));
        h.attr("update")(arr.attr("tobytes")());
    }
    return h.attr("hexdigest")();
}

// The statistics as the bytes of an .npz archive: "header" (JSON), "digest", arrays "a0", ...
py::bytes to_bytes(const py::object& self, bool compressed) {
    py::list arrays;
    py::list entries;
    for (py::handle e : py::list(self.attr("_entries"))) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(e);
        entries.append(py::make_tuple(t[0], t[1], encode_value(t[2], arrays)));
    }
    py::dict history;
    for (auto [feature, frames] : py::dict(self.attr("_history"))) {
        py::list encoded;
        for (py::handle f : frames) encoded.append(encode_value(f, arrays));
        history[feature] = encoded;
    }
    py::dict header;
    header["format"] = kFormat;
    header["version"] = kVersion;
    header["fingerprint"] = self.attr("fingerprint");
    header["folder"] = self.attr("folder");
    header["entries"] = entries;
    header["history"] = history;
    header["arrays"] = arrays.size();
    py::bytes text =
        py::str(py::module_::import("json").attr("dumps")(header, "sort_keys"_a = true))
            .attr("encode")("ascii");
    py::dict members;
    members["header"] = np().attr("frombuffer")(text, "dtype"_a = "uint8");
    members["digest"] = np().attr("frombuffer")(
        py::str(digest_of(text, arrays)).attr("encode")("ascii"), "dtype"_a = "uint8");
    for (std::size_t k = 0; k < arrays.size(); ++k)
        members[py::str("a" + std::to_string(k))] = arrays[k];
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    np().attr(compressed ? "savez_compressed" : "savez")(buffer, **members);
    return buffer.attr("getvalue")();
}

[[noreturn]] void unreadable(const std::string& origin, const std::string& why) {
    throw py::value_error(origin +
                          " 不是完整的冻结统计量文件 (frozen_statistics), 或已被改动: " + why);
}

// The statistics in the bytes of a file (or of a pickle); `origin` names them in errors.
py::object from_bytes(const Module& m, const py::bytes& data, const std::string& origin) {
    py::dict members;
    try {
        py::object archive = np().attr("load")(py::module_::import("io").attr("BytesIO")(data),
                                               "allow_pickle"_a = false);
        try {
            for (py::handle name : archive.attr("files")) members[name] = archive[name];
        } catch (...) {
            archive.attr("close")();
            throw;
        }
        archive.attr("close")();
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        unreadable(origin, std::string(py::str(e.type().attr("__name__"))) + ": " +
                               std::string(py::str(e.value())));
    }
    if (!members.contains("header") || !members.contains("digest"))
        unreadable(origin, "缺少文件头");
    py::dict header;
    py::list arrays;
    try {
        py::bytes text = members["header"].attr("tobytes")();
        py::object parsed = py::module_::import("json").attr("loads")(text);
        if (!PyDict_Check(parsed.ptr())) unreadable(origin, "文件头不是 JSON 对象");
        header = parsed;
        if (!header.contains("format") || !py::str(header["format"]).equal(py::str(kFormat)))
            unreadable(origin, "文件头未标明格式");
        py::object version =
            header.contains("version") ? py::object(header["version"]) : py::none();
        if (!PyLong_CheckExact(version.ptr()) || version.cast<long long>() != kVersion)
            throw py::value_error(
                origin + " 的冻结统计量格式版本为 " + std::string(py::str(py::repr(version))) +
                ", 本版本的 orvalis 只读取版本 " + std::to_string(kVersion) + "。");
        py::object count = header["arrays"];
        if (!PyLong_CheckExact(count.ptr()) || count.cast<long long>() < 0 ||
            count.cast<long long>() + 2 != static_cast<long long>(py::len(members)))
            unreadable(origin, "数组的个数不符");
        for (long long k = 0; k < count.cast<long long>(); ++k) {
            py::str key("a" + std::to_string(k));
            if (!members.contains(key)) unreadable(origin, "缺少数组 " + std::string(key));
            arrays.append(members[key]);
        }
        py::str stored = py::bytes(members["digest"].attr("tobytes")()).attr("decode")("ascii");
        if (!stored.equal(digest_of(text, arrays))) unreadable(origin, "校验和不符");
        py::list entries;
        py::object entry_nodes = header["entries"];
        if (!PyList_Check(entry_nodes.ptr())) unreadable(origin, "统计量列表已损坏");
        for (py::handle e : entry_nodes) {
            if (!PyList_Check(e.ptr()) || py::len(e) != 3) unreadable(origin, "统计量条目已损坏");
            py::list t = py::reinterpret_borrow<py::list>(e);
            if (!PyUnicode_CheckExact(t[0].ptr()) || !PyUnicode_CheckExact(t[1].ptr()))
                unreadable(origin, "统计量条目已损坏");
            entries.append(py::make_tuple(t[0], t[1], decode_value(t[2], arrays)));
        }
        py::dict history;
        py::object history_nodes = header["history"];
        if (!PyDict_Check(history_nodes.ptr())) unreadable(origin, "窗口历史已损坏");
        for (auto [feature, frames] : py::reinterpret_borrow<py::dict>(history_nodes)) {
            if (!PyList_Check(frames.ptr())) unreadable(origin, "窗口历史已损坏");
            py::list decoded;
            for (py::handle f : frames) {
                py::object frame = decode_value(f, arrays);
                if (!py::isinstance(frame, m["pd"].attr("DataFrame")))
                    unreadable(origin, "窗口历史已损坏");
                decoded.append(frame);
            }
            history[feature] = decoded;
        }
        if (!PyUnicode_CheckExact(py::object(header["fingerprint"]).ptr()) ||
            !PyUnicode_CheckExact(py::object(header["folder"]).ptr()))
            unreadable(origin, "文件头已损坏");
        return new_statistics(m, py::none(), entries, history, header["fingerprint"],
                              header["folder"]);
    } catch (py::error_already_set& e) {
        // a malformed part: any error of reading it is the file's, except a stop asked for
        if (!is_exception(e) || e.matches(PyExc_MemoryError)) throw;
        unreadable(origin, std::string(py::str(e.type().attr("__name__"))) + ": " +
                               std::string(py::str(e.value())));
    } catch (py::value_error&) {
        throw;
    } catch (std::exception& e) {
        unreadable(origin, e.what());
    }
}

std::size_t windows_of(const py::object& self) {
    std::size_t n = 0;
    for (auto item : py::dict(self.attr("_history"))) n += py::len(item.second);
    return n;
}

}  // namespace

py::object new_statistics(const Module& m, py::object owner, py::list entries, py::dict history,
                          py::str fingerprint, py::str folder) {
    py::object cls = m["frozen_statistics"];
    py::object self = py::module_::import("builtins").attr("object").attr("__new__")(cls);
    self.attr("_entries") = std::move(entries);
    self.attr("_history") = std::move(history);
    self.attr("fingerprint") = std::move(fingerprint);
    self.attr("folder") = std::move(folder);
    self.attr("_owner") = std::move(owner);
    return self;
}

py::str folder_of(const Module& m, const py::object& owner) {
    py::object os = m["os"];
    return os.attr("path").attr("abspath")(os.attr("fspath")(owner.attr("path")));
}

// sha256 of the folder's configuration, feature list and record files, as they are on disk when
// first asked; kept on the object.
py::str fingerprint_of(const Module& m, const py::object& owner) {
    py::object known = py::getattr(owner, "_frozen_fingerprint", py::none());
    if (!known.is_none()) return known;
    py::object os = m["os"];
    py::object h = py::module_::import("hashlib").attr("sha256")();
    for (const char* part : {"config.yaml", "autofe/result", "autofe/labelencoder.pkl"}) {
        h.attr("update")(py::bytes(std::string(part) + '\0'));
        py::object path = os.attr("path").attr("join")(owner.attr("path"), part);
        if (!os.attr("path").attr("exists")(path).cast<bool>()) {
            h.attr("update")(py::bytes("absent"));
            continue;
        }
        h.attr("update")(with_binary_file(path, [](py::object f) { return f.attr("read")(); }));
    }
    py::str digest = h.attr("hexdigest")();
    owner.attr("_frozen_fingerprint") = digest;
    return digest;
}

void require_for(const Module& m, const py::object& statistics, const py::object& owner,
                 const char* method) {
    if (!py::isinstance(statistics, m["frozen_statistics"]))
        throw py::type_error(std::string(method) +
                             "() 的参数 statistics 应为 orvalis.frozen_statistics (由 "
                             "marqolin.freeze_statistics 或 frozen_statistics.load 得到) 或 None, "
                             "而不是 " +
                             Py_TYPE(statistics.ptr())->tp_name);
    py::str mine = fingerprint_of(m, owner);
    py::str theirs = statistics.attr("fingerprint");
    if (!mine.equal(theirs))
        throw py::value_error("这些冻结统计量来自另一个结果文件夹: 统计量来自 " +
                              std::string(py::str(py::repr(statistics.attr("folder")))) +
                              " (指纹 " + std::string(theirs).substr(0, 12) + "), 当前文件夹为 " +
                              std::string(py::str(py::repr(folder_of(m, owner)))) + " (指纹 " +
                              std::string(mine).substr(0, 12) + ")。");
    if (statistics.attr("_owner").is_none()) statistics.attr("_owner") = owner;
}

FrozenRun replay_run(const py::object& statistics) {
    return FrozenRun{"replay", statistics.attr("_entries"), statistics.attr("_history"),
                     py::dict()};
}

void register_frozen_statistics(const Module& m, py::module_& module) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = "frozen_statistics";
    ns["__doc__"] =
        "冻结的批量统计量: 由 marqolin.freeze_statistics(reference) 得到, 或由\n"
        "frozen_statistics.load(path) 读取。\n\n"
        "属性:\n"
        "    fingerprint: 结果文件夹 (配置、组合特征列表、编码记录) 的指纹。\n"
        "    folder: 冻结时的结果文件夹。";
    store_method(ns, "__init__", py::cpp_function([](py::object, py::args, py::kwargs) {
                     throw py::type_error(
                         "frozen_statistics 不能直接构造: 请使用 "
                         "marqolin.freeze_statistics(reference) 或 frozen_statistics.load(path)。");
                 }));
    store_method(ns, "__repr__", py::cpp_function([](py::object self) {
                     return py::str(
                                "<frozen_statistics of {!r}: {} quantities, {} window "
                                "histories, fingerprint {}>")
                         .format(self.attr("folder"), py::len(self.attr("_entries")),
                                 windows_of(self),
                                 py::str(self.attr("fingerprint"))[py::slice(0, 12, 1)]);
                 }));
    store_method(ns, "_bind", py::cpp_function([m](py::object self, py::object owner) {
                     require_for(m, self, owner, "_bind");
                     return self;
                 }));
    store_method(ns, "__len__",
                 py::cpp_function([](py::object self) { return py::len(self.attr("_entries")); }));
    store_method(ns, "__reduce__", py::cpp_function([m](py::object self) {
                     return py::make_tuple(m["_frozen_statistics_from_bytes"],
                                           py::make_tuple(to_bytes(self, false)));
                 }));
    ns["save"] = native_method(
        "frozen_statistics", "save",
        py::cpp_function(
            [m](py::object self, py::object path) {
                py::object os = m["os"];
                py::str target = os.attr("fspath")(path);
                py::str folder =
                    os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(target));
                os.attr("makedirs")(folder, "exist_ok"_a = true);
                py::bytes data = to_bytes(self, true);
                // written beside the target and renamed into place: never half a file there
                py::object tmp =
                    py::module_::import("tempfile")
                        .attr("NamedTemporaryFile")("dir"_a = folder, "prefix"_a = ".frozen-",
                                                    "delete"_a = false);
                try {
                    tmp.attr("write")(data);
                    tmp.attr("close")();
                    os.attr("replace")(tmp.attr("name"), target);
                } catch (...) {
                    tmp.attr("close")();
                    if (os.attr("path").attr("exists")(tmp.attr("name")).cast<bool>())
                        os.attr("remove")(tmp.attr("name"));
                    throw;
                }
            },
            py::name("save"), py::arg("self"), py::arg("path"),
            sig_doc("save(self, path)",
                    "保存到文件 (.npz: 数组与 JSON 文件头, 不含 pickle); 先写入同一文件夹中的临时"
                    "文件再改名, 不会留下不完整的文件。")
                .c_str()));
    ns["load"] =
        py::module_::import("builtins")
            .attr("staticmethod")(py::cpp_function(
                [m](py::object path) {
                    py::object os = m["os"];
                    py::str name = os.attr("fspath")(path);
                    py::bytes data =
                        with_binary_file(name, [](py::object f) { return f.attr("read")(); });
                    return from_bytes(m, data, std::string(py::str(py::repr(name))));
                },
                py::name("load"), py::arg("path"),
                sig_doc(
                    "load(path)",
                    "读取 save 写入的文件。不执行文件中的任何代码; 格式版本不符、文件被截断或改动时"
                    "引发 ValueError。读取的统计量在第一次用于某个 marqolin 时与其结果文件夹绑定 "
                    "(指纹不符则拒绝)。")
                    .c_str()));
    ns["extended"] = native_method(
        "frozen_statistics", "extended",
        py::cpp_function(
            [m](py::object self, py::object rows) {
                py::object owner = self.attr("_owner");
                if (owner.is_none())
                    throw py::value_error(
                        "这些冻结统计量尚未与结果文件夹绑定: 请先将其传给该文件夹的 "
                        "marqolin.predict / predict_proba / preprocess (statistics=...)。");
                py::object df = raw_rows(m, owner, rows, "extended");
                FrozenRun run{"extend", self.attr("_entries"), self.attr("_history"), py::dict()};
                process_frozen(m, owner, df, run);
                py::dict history;
                for (auto [feature, frames] : py::dict(self.attr("_history")))
                    history[feature] = frames;
                for (auto [feature, frames] : run.new_history) history[feature] = frames;
                return new_statistics(m, owner, self.attr("_entries"), history,
                                      self.attr("fingerprint"), self.attr("folder"));
            },
            py::name("extended"), py::arg("self"), py::arg("rows"),
            sig_doc(
                "extended(self, rows)",
                "返回窗口历史以 rows 结尾的冻结统计量: 每个滚动窗口特征保留其输入列在每组最后 "
                "w - 1 行 (delay、delta、ts_o 为 w 行) 的值, 按这些统计量计算。其后的行的窗口依次"
                "包含该组的历史、同批中该组之前的行以及该行本身。rows 为 predict 接受的任何数据。")
                .c_str()));
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type("frozen_statistics",
                          py::make_tuple(py::module_::import("builtins").attr("object")), ns);
    module.attr("frozen_statistics") = cls;
    module.def(
        "_frozen_statistics_from_bytes",
        [m](py::bytes data) { return from_bytes(m, data, "pickle"); }, py::arg("data"),
        sig_doc("_frozen_statistics_from_bytes(data)", "frozen_statistics from pickled bytes.")
            .c_str());
}

}  // namespace orvalis::api::frozen
