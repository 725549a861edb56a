// class marqolin: a plain Python class whose methods are the native functions of the
// marqolin_<concern>.cpp files. Instances keep their state as ordinary instance attributes.
#include "orvalis/frozen.hpp"
#include "orvalis/marqolin.hpp"

#include <pybind11/gil_safe_call_once.h>

namespace orvalis::api {

void store_method(py::dict& ns, const char* name, const py::cpp_function& fn) {
    PyObject* method = PyInstanceMethod_New(fn.ptr());
    if (method == nullptr) throw py::error_already_set();
    ns[name] = py::reinterpret_steal<py::object>(method);
}

namespace {

// A call that pybind11 could not match with the function's parameters fails with a message that
// prints every argument, a whole DataFrame included. This says what the interpreter would say of
// a Python method instead (the reason from inspect's binding of the call to the method's
// signature), and names the parameters; an error raised by the method itself passes unchanged.
[[noreturn]] void raise_call_error(py::object method, const py::args& args,
                                   const py::kwargs& kwargs, py::error_already_set& error) {
    std::string name = py::str(method.attr("__qualname__"));
    std::string own = py::str(method.attr("__func__").attr("__name__"));
    std::string text = py::str(error.value());
    if (text.rfind(own + "(): incompatible function arguments", 0) != 0) throw error;
    py::object sig = method.attr("__signature__");
    py::object params_by_name = sig.attr("parameters");
    std::string reason;
    for (auto item : kwargs)  // a wrong name first, as the interpreter reports it
        if (!params_by_name.contains(item.first)) {
            reason = "got an unexpected keyword argument " + std::string(py::repr(item.first));
            break;
        }
    if (reason.empty()) {
        try {
            sig.attr("bind")(*args, **kwargs);
        } catch (py::error_already_set& bind_error) {
            if (!bind_error.matches(PyExc_TypeError)) throw;
            reason = py::str(bind_error.value());
        }
    }
    if (reason.empty()) throw error;  // the arguments fit the signature: not a binding error
    py::list params = py::list(params_by_name.attr("values")());
    py::object shown = sig.attr("replace")(
        "parameters"_a = params[py::slice(1, static_cast<py::ssize_t>(params.size()), 1)]);
    if (py::str(method.attr("__name__")).equal(py::str("__init__")))
        name = name.substr(0, name.rfind('.'));  // marqolin(...), as the caller wrote it
    PyErr_Format(PyExc_TypeError, "%s(): %s; parameters: %s", name.c_str(), reason.c_str(),
                 std::string(py::str(shown)).c_str());
    throw py::error_already_set();
}

// A callable that binds like a function (instance.method(...) passes the instance first) and
// carries its own __signature__ and docstring: inspect.signature and help() show it as a plain
// method with its parameters, defaults that a text signature cannot spell included.
py::object make_method_type() {
    py::dict ns;
    ns["__module__"] = "orvalis";
    ns["__doc__"] = "A native method with a full signature.";
    store_method(ns, "__call__",
                 py::cpp_function([](py::object self, py::args args, py::kwargs kwargs) {
                     try {
                         return self.attr("__func__")(*args, **kwargs);
                     } catch (py::error_already_set& e) {
                         if (!e.matches(PyExc_TypeError)) throw;
                         raise_call_error(self, args, kwargs, e);
                     }
                 }));
    store_method(ns, "__get__",
                 py::cpp_function(
                     [](py::object self, py::object instance, py::object) {
                         if (instance.is_none()) return self;
                         return py::module_::import("types").attr("MethodType")(self, instance);
                     },
                     py::arg("self"), py::arg("instance"), py::arg("owner") = py::none()));
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type("native_method", py::make_tuple(py::module_::import("builtins").attr("object")),
                ns);
}

py::object method_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result([] { return make_method_type(); }).get_stored();
}

// A parameter of inspect whose text shows its default as `text` (e.g. "cmap=plt.cm.Blues"):
// a subclass of inspect.Parameter, so inspect.signature still gives the real default object.
py::object shown_parameter(const py::object& param, const py::str& text) {
    py::object base = py::module_::import("inspect").attr("Parameter");
    py::dict ns;
    ns["__module__"] = "orvalis";
    ns["__qualname__"] = "Parameter";
    ns["_shown"] = text;
    store_method(ns, "__str__", py::cpp_function([base](py::object self) {
                     py::str plain = base.attr("__str__")(self);
                     py::object value_text = py::repr(self.attr("default"));
                     return plain.attr("replace")(value_text, self.attr("_shown"));
                 }));
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type("Parameter", py::make_tuple(base), ns);
    return cls(param.attr("name"), param.attr("kind"), "default"_a = param.attr("default"),
               "annotation"_a = param.attr("annotation"));
}

}  // namespace

void add_method_with_defaults(py::dict& ns, const char* name, const py::cpp_function& fn,
                              const py::dict& defaults, const py::dict& shown) {
    ns[name] = native_method("marqolin", name, fn, defaults, shown);
}

py::object native_method(const char* owner, const char* name, const py::cpp_function& fn,
                         const py::dict& defaults, const py::dict& shown) {
    py::object sig = py::module_::import("inspect").attr("signature")(fn);
    py::list params;
    for (py::handle p : sig.attr("parameters").attr("values")()) {
        py::str pname = p.attr("name");
        py::object param = defaults.contains(pname)
                               ? p.attr("replace")("default"_a = defaults[pname])
                               : py::reinterpret_borrow<py::object>(p);
        if (shown.contains(pname)) param = shown_parameter(param, shown[pname]);
        params.append(param);
    }
    py::object method = method_type()();
    method.attr("__func__") = fn;
    method.attr("__signature__") = sig.attr("replace")("parameters"_a = params);
    method.attr("__name__") = name;
    method.attr("__qualname__") = std::string(owner) + "." + name;
    // the docstring without its text-signature line
    std::string doc = py::str(fn.attr("__doc__"));
    auto cut = doc.find("\n--\n\n");
    method.attr("__doc__") = cut == std::string::npos ? doc : doc.substr(cut + 5);
    return method;
}

void register_marqolin(py::module_& m) {
    using bind::clean_class_doc;
    Module mod(m);
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "marqolin";
    ns["__doc__"] =
        "marqolin(path)\n--\n\n"
        "orvalis 平台训练结果的推理接口。\n\n"
        "支持两种预测方式:\n"
        "    1. 通过训练结果文件夹 (result) 进行预测;\n"
        "    2. 通过模型参数以及特征包字段进行预测 (暂未实现)。\n\n"
        "参数:\n"
        "    path: 训练结果文件夹的路径 (str 或 os.PathLike)。\n\n"
        "注意: 结果文件夹中的文件会被反序列化 (pickle), 请只加载可信来源的结果文件夹。";
    add_load_methods(mod, ns);
    add_preprocess_methods(mod, ns);
    add_predict_methods(mod, ns);
    add_codec_methods(mod, ns);
    add_data_methods(mod, ns);
    add_report_methods(mod, ns);
    add_plot_methods(mod, ns);
    frozen::add_freeze_methods(mod, ns);
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls =
        type("marqolin", py::make_tuple(py::module_::import("builtins").attr("object")), ns);
    clean_class_doc(cls);
    m.attr("marqolin") = cls;
    frozen::register_frozen_statistics(mod, m);
}

}  // namespace orvalis::api
