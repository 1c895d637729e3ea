#include "binding/frame.hpp"

#include <unordered_map>
#include <vector>

#include "binding/numpy.hpp"

namespace ordinata::binding {

namespace {

std::string callable_name(const char* cls, const char* method) { return std::string(cls) + "." + method + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

std::string type_name(PyObject* obj) {
    PyRef q = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!q) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(q.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
}

void conversion_error(const char* arg, PyObject* obj, const char* target) {
    const std::string msg =
        std::string("argument '") + arg + "': '" + type_name(obj) + "' object cannot be converted to '" + target + "'";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// Re-raises a pending TypeError as "argument '{name}': {message}", chained.
void prefix_type_error(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    if (!text) return;  // the str() failure is now the pending error
    PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
    if (!msg) return;
    PyRef err = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!err) return;
    PyException_SetCause(err.get(), exc.release());
    PyErr_SetRaisedException(err.release());
}

// A parameter name as an interned str, made on its first use and kept for
// the process: keyword names at call sites are interned too, so most
// matches are one pointer comparison. One table serves the process, since
// the module refuses sub-interpreters; it is touched only under the
// interpreter lock. Null when the string cannot be made (the caller then
// compares the text).
PyObject* interned(const char* name) {
    static std::unordered_map<const char*, PyObject*> table;
    if (const auto it = table.find(name); it != table.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) {
        PyErr_Clear();
        return nullptr;
    }
    table.emplace(name, s);
    return s;
}

}  // namespace

bool parse_arguments(const char* cls, const char* method, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* const* kw_names, PyObject* const* kw_values, Py_ssize_t nkw,
                     PyObject** out) {
    const std::size_t n = params.size();
    std::size_t required = 0;
    for (const Param& p : params) required += p.default_text == nullptr;
    if (static_cast<std::size_t>(nargs) > n) {
        const char* was = nargs == 1 ? "was" : "were";
        const std::string f = callable_name(cls, method);
        if (required == n)
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", f.c_str(), n, nargs,
                         was);
        else
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", f.c_str(),
                         required, n, nargs, was);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = kw_names[j];
        std::size_t idx = n;
        for (std::size_t i = 0; i < n && idx == n; ++i)
            if (interned(params[i].name) == key) idx = i;
        // A name built at run time (a ** dict's key) need not be interned.
        for (std::size_t i = 0; i < n && idx == n; ++i)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) idx = i;
        if (idx == n) {
            // Keep the interpreter's exact spelling of the unknown name.
            const std::string f = callable_name(cls, method);
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", f.c_str(), key);
            return false;
        }
        if (out[idx] != nullptr) {
            const std::string f = callable_name(cls, method);
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", f.c_str(), params[idx].name);
            return false;
        }
        out[idx] = kw_values[j];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n; ++i)
        if (out[i] == nullptr && params[i].default_text == nullptr) missing.push_back(params[i].name);
    if (!missing.empty()) {
        const std::string f = callable_name(cls, method);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", f.c_str(), missing.size(),
                     missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

std::uint64_t Args::elements() const {
    std::uint64_t total = 0;
    for (const Value& v : values_) {
        if (const auto* m = std::get_if<MatrixView>(&v))
            total += m->rows() * m->cols();
        else if (const auto* x = std::get_if<VectorView>(&v))
            total += x->size();
        else if (const auto* i = std::get_if<IntVectorView>(&v))
            total += i->size();
    }
    return total;
}

bool Args::convert(std::span<const Param> params, PyObject* const* objects) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        PyObject* obj = objects[i];
        switch (p.kind) {
            case ParamKind::Flag:
                if (obj == nullptr) {
                    values_[i] = p.default_flag;
                } else if (PyBool_Check(obj)) {
                    values_[i] = obj == Py_True;
                } else if (numpy::is_bool_scalar(obj)) {
                    const int truth = PyObject_IsTrue(obj);
                    if (truth < 0) {
                        prefix_type_error(p.name);
                        return false;
                    }
                    values_[i] = truth == 1;
                } else {
                    conversion_error(p.name, obj, "PyBool");
                    return false;
                }
                break;
            case ParamKind::Number:
                if (obj == nullptr) {
                    values_[i] = p.default_number;
                } else if (PyFloat_CheckExact(obj)) {
                    values_[i] = PyFloat_AS_DOUBLE(obj);
                } else {
                    const double v = PyFloat_AsDouble(obj);
                    if (v == -1.0 && PyErr_Occurred()) {
                        prefix_type_error(p.name);
                        return false;
                    }
                    values_[i] = v;
                }
                break;
            case ParamKind::Array2D:
            case ParamKind::Array1D:
            case ParamKind::IntArray1D: {
                const int ndim = p.kind == ParamKind::Array2D ? 2 : 1;
                const bool integer = p.kind == ParamKind::IntArray1D;
                // A masked array's hidden values are not data: refused like
                // any other object that is not a plain array.
                const int masked = numpy::is_masked(obj);
                if (masked < 0) return false;
                if (masked || !numpy::is_array_of(obj, ndim, integer)) {
                    conversion_error(p.name, obj, "PyArray<T, D>");
                    return false;
                }
                numpy::ArrayData data = numpy::array_data(obj, holders_[i]);
                if (!data.base) return false;
                if (integer)
                    values_[i] = IntVectorView{static_cast<const std::int64_t*>(data.base),
                                               static_cast<linalg::index_t>(data.shape[0]), data.strides[0]};
                else if (ndim == 1)
                    values_[i] = VectorView{static_cast<const double*>(data.base),
                                            static_cast<linalg::index_t>(data.shape[0]), data.strides[0]};
                else
                    values_[i] =
                        MatrixView{static_cast<const double*>(data.base), static_cast<linalg::index_t>(data.shape[0]),
                                   static_cast<linalg::index_t>(data.shape[1]), data.strides[0], data.strides[1]};
                break;
            }
        }
    }
    return true;
}

namespace {

std::string signature(std::span<const Param> params, bool with_self) {
    std::string s = "(";
    bool first = true;
    if (with_self) {
        s += "$self";
        first = false;
    }
    for (const Param& p : params) {
        if (!first) s += ", ";
        first = false;
        s += p.name;
        if (p.default_text) {
            s += "=";
            s += p.default_text;
        }
    }
    return s + ")";
}

}  // namespace

std::string method_doc(const char* name, std::span<const Param> params, const char* doc) {
    return std::string(name) + signature(params, true) + "\n--\n\n" + doc;
}

std::string type_doc(const char* name, std::span<const Param> params, const char* doc) {
    return std::string(name) + signature(params, false) + "\n--\n\n" + doc;
}

namespace {

struct Converter {
    PyObject* operator()(None) const { Py_RETURN_NONE; }
    PyObject* operator()(bool b) const { return PyBool_FromLong(b); }
    PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
    PyObject* operator()(const std::optional<double>& d) const {
        if (!d) Py_RETURN_NONE;
        return PyFloat_FromDouble(*d);
    }
    PyObject* operator()(const std::optional<std::uint64_t>& n) const {
        if (!n) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*n);
    }
    // A vector the outcome owns is handed over, not copied.
    PyObject* operator()(Vector& v) const { return numpy::adopt_vector(v); }
    PyObject* operator()(StoredVector v) const {
        if (!v) Py_RETURN_NONE;
        return numpy::new_vector(*v);
    }
    PyObject* operator()(std::optional<Vector>& v) const {
        if (!v) Py_RETURN_NONE;
        return numpy::adopt_vector(*v);
    }
    PyObject* operator()(const Matrix& m) const { return numpy::new_matrix(m); }
    PyObject* operator()(const std::optional<Matrix>& m) const {
        if (!m) Py_RETURN_NONE;
        return numpy::new_matrix(*m);
    }
    PyObject* operator()(const std::string& s) const {
        return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    }
};

}  // namespace

PyObject* to_python(Outcome&& outcome) {
    if (!outcome.v) {
        const EstimatorError& e = outcome.v.error();
        PyObject* kind = e.kind == EstimatorError::Kind::ValueError ? PyExc_ValueError : PyExc_RuntimeError;
        PyErr_SetString(kind, e.message.c_str());
        return nullptr;
    }
    return std::visit(Converter{}, *outcome.v);
}

}  // namespace ordinata::binding
