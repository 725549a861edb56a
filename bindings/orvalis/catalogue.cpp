// class load_dataset: fetch a public sample dataset from the online catalogue. The constructor
// does all the work (metadata JSON, then the CSV data file); callers read the attributes.
//
// The class is a plain Python class (instance __dict__, overridable methods) whose methods are
// native functions. requests, json and StringIO are imported when a method runs, not at load.
#include <cmath>
#include <initializer_list>
#include <string>

#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

// Where the catalogue lives unless ORVALIS_CATALOGUE_URL names a mirror (read per object).
constexpr const char* kDefaultPrefix = "https://catalogue.orvalis.example/dataset/public/";
constexpr const char* kPrefixVariable = "ORVALIS_CATALOGUE_URL";
// Seconds to wait for a connection and between bytes of an answer; every request has both, so a
// silent server cannot block the caller forever. ORVALIS_CATALOGUE_TIMEOUT="read" or
// "connect,read" overrides them.
constexpr double kConnectTimeout = 10.0;
constexpr double kReadTimeout = 60.0;
constexpr const char* kTimeoutVariable = "ORVALIS_CATALOGUE_TIMEOUT";

py::object environ_get(const char* variable) {
    return py::module_::import("os").attr("environ").attr("get")(variable);
}

py::str catalogue_prefix() {
    py::object value = environ_get(kPrefixVariable);
    if (value.is_none()) return py::str(kDefaultPrefix);
    std::string prefix = value.attr("strip")().cast<std::string>();
    if (prefix.empty()) return py::str(kDefaultPrefix);
    if (prefix.back() != '/') prefix += '/';
    return py::str(prefix);
}

double positive_seconds(py::handle text, py::handle whole) {
    double seconds;
    try {
        seconds = py::float_(py::reinterpret_borrow<py::object>(text)).cast<double>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        seconds = -1.0;
    }
    if (!(seconds > 0.0) || std::isinf(seconds)) {  // an endless wait is no timeout
        std::string message = std::string(kTimeoutVariable) +
                              " 应为正的秒数 (\"read\" 或 \"connect,read\"), 实际为 " +
                              py::repr(whole).cast<std::string>();
        throw py::value_error(message);
    }
    return seconds;
}

// (connect, read) seconds handed to every requests.get call.
py::tuple request_timeout() {
    py::object value = environ_get(kTimeoutVariable);
    if (value.is_none() || py::len(value.attr("strip")()) == 0)
        return py::make_tuple(kConnectTimeout, kReadTimeout);
    py::list parts = value.attr("split")(",");
    if (py::len(parts) == 1) {
        double seconds = positive_seconds(parts[0], value);
        return py::make_tuple(seconds, seconds);
    }
    if (py::len(parts) != 2) positive_seconds(py::str("not a number"), value);
    return py::make_tuple(positive_seconds(parts[0], value), positive_seconds(parts[1], value));
}

bool is_ok(py::handle response) {
    py::object status = response.attr("status_code");
    return status.equal(py::int_(200));
}

py::str concat(std::initializer_list<py::object> pieces) {
    py::object text = py::str("");
    for (const py::object& piece : pieces) text = text + piece;
    return text;
}

// No metadata or no data: say which dataset and which address, keeping the cause if there is one.
[[noreturn]] void raise_unavailable(const char* what, py::handle self, py::handle url,
                                    py::error_already_set* cause) {
    std::string message = std::string("无法获取数据集 ") +
                          py::repr(self.attr("name")).cast<std::string>() + " 的" + what + ": " +
                          py::str(url).cast<std::string>();
    if (cause) {
        py::raise_from(*cause, PyExc_RuntimeError, message.c_str());
        throw py::error_already_set();
    }
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
}

void init(py::object self, py::handle name) {
    bind::require_exact_str(name, "name");
    self.attr("prefix") = catalogue_prefix();
    self.attr("name") = name;
    self.attr("timeout") = request_timeout();
    self.attr("get_meta_data")();
    self.attr("get_real_data")();
}

void get_meta_data(py::object self) {
    py::module_ requests = py::module_::import("requests");
    py::module_ json = py::module_::import("json");
    py::object name = self.attr("name");
    py::object json_name = name + py::str(".json");
    py::object meta_url = concat({self.attr("prefix"), name, py::str("/"), json_name});

    py::object json_data;
    try {
        py::object response = requests.attr("get")(meta_url, "timeout"_a = self.attr("timeout"));
        response.attr("encoding") = "utf-8";
        py::print(concat({py::str("starting request "), meta_url, py::str(" ...")}));
        if (!is_ok(response)) {
            py::object status = py::str(response.attr("status_code"));
            PyErr_SetObject(
                PyExc_Exception,
                concat({py::str("Error: Unable to fetch data. Status code: "), status}).ptr());
            throw py::error_already_set();
        }
        json_data = json.attr("loads")(response.attr("text"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(concat({py::str("Error: "), py::str(e.value())}));
        raise_unavailable("元数据", self, meta_url, &e);
    }
    self.attr("description") = json_data["description"];
    self.attr("data_type") = json_data["data_type"];
    self.attr("suffix") = json_data["suffix"];
}

void get_real_data(py::object self) {
    py::object data_type = self.attr("data_type");
    if (data_type.equal(py::str("dataframe"))) {
        self.attr("data") = self.attr("get_dataframe")();
        return;
    }
    PyErr_SetObject(PyExc_Exception, concat({py::str("opening files in "), py::str(data_type),
                                             py::str(" format is not supported currently")})
                                         .ptr());
    throw py::error_already_set();
}

py::object get_dataframe(py::object self) {
    py::object name = self.attr("name");
    py::object suffix = self.attr("suffix");
    py::object data_name = concat({name, py::str("."), suffix});
    py::object data_url = concat({self.attr("prefix"), name, py::str("/"), data_name});
    if (!suffix.equal(py::str("csv"))) {
        PyErr_SetObject(PyExc_Exception, concat({py::str("opening files in "), py::str(suffix),
                                                 py::str(" suffix is not supported currently")})
                                             .ptr());
        throw py::error_already_set();
    }
    py::module_ requests = py::module_::import("requests");
    py::object StringIO = py::module_::import("io").attr("StringIO");
    py::object pd = py::module_::import("pandas");

    py::object data;
    try {
        py::print(concat({py::str("starting request "), data_url, py::str(" ...")}));
        py::object response = requests.attr("get")(data_url, "timeout"_a = self.attr("timeout"));
        if (is_ok(response)) {
            response.attr("encoding") = "utf-8";
            data = pd.attr("read_csv")(StringIO(response.attr("text")));
        } else {
            py::print(concat({py::str("Error: Unable to fetch data. Status code: "),
                              py::str(response.attr("status_code"))}));
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(concat({py::str("Error: "), py::str(e.value())}));
        raise_unavailable("数据", self, data_url, &e);
    }
    if (!data) raise_unavailable("数据", self, data_url, nullptr);
    return data;
}

py::str to_text(py::object self) {
    py::dict d;
    d["name"] = self.attr("name");
    d["url"] = self.attr("prefix");
    d["description"] = self.attr("description");
    d["data_type"] = self.attr("data_type");
    d["data"] = self.attr("data");
    return py::str(d);
}

// pybind11 treats a function named "__init__" as the constructor of one of its own classes; the
// initialiser of this plain class is therefore the function "init" stored under "__init__". Each
// method is stored as marqolin's are, so help() shows its signature and no pybind11 internals.
template <typename F, typename... Extra>
void add_method(py::object cls, const char* attr, const char* name, F&& f, const std::string& doc,
                const Extra&... extra) {
    cls.attr(attr) = native_method(
        "load_dataset", attr,
        py::cpp_function(std::forward<F>(f), py::name(name), py::arg("self"), extra...,
                         py::doc(doc.c_str())));
}

}  // namespace

void register_catalogue(py::module_& m) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "load_dataset";
    ns["__doc__"] = sig_doc("load_dataset(name)",
                            "从在线目录下载公开示例数据集: 先取元数据 (JSON), 再取数据文件.\n\n"
                            "数据在属性 data (pd.DataFrame) 中. 目录地址默认为 "
                            "https://catalogue.orvalis.example/dataset/public/, 可由环境变量 "
                            "ORVALIS_CATALOGUE_URL 指定镜像; 请求超时 (连接, 读取) 默认为 "
                            "(10, 60) 秒, 可由 ORVALIS_CATALOGUE_TIMEOUT 指定.");
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type("load_dataset", py::tuple(), ns);

    add_method(cls, "__init__", "init", &init,
               sig_doc("init(self, name)", "下载数据集 name 的元数据和数据."), py::arg("name"));
    add_method(
        cls, "get_meta_data", "get_meta_data", &get_meta_data,
        sig_doc("get_meta_data(self)", "下载元数据, 设置 description, data_type 和 suffix."));
    add_method(cls, "get_real_data", "get_real_data", &get_real_data,
               sig_doc("get_real_data(self)", "按 data_type 读取数据, 设置 data."));
    add_method(cls, "get_dataframe", "get_dataframe", &get_dataframe,
               sig_doc("get_dataframe(self)", "下载并解析 CSV 数据文件, 返回 pd.DataFrame."));
    add_method(cls, "__str__", "__str__", &to_text,
               sig_doc("__str__(self)", "name, url, description, data_type 和 data 的字典文本."));
    m.attr("load_dataset") = cls;
}

}  // namespace orvalis::api
