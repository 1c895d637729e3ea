// Turns a class description into a heap type. A description C provides:
//   using Estimator;                    the C++ estimator held by each instance
//   static constexpr const char* name;  the bare class name
//   static constexpr const char* doc;   the class docstring
//   static constexpr ParamList ctor;    constructor parameters
//   static Estimator construct(const Args&);
//   static constexpr std::array<Member<Estimator>, N> members;  declaration order
//   static constexpr bool has_repr;     uses Estimator::repr() when set
#pragma once

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "binding/frame.hpp"
#include "linalg/blas_threads.hpp"

namespace ordinata::binding {

// Doc strings and slot tables must outlive the types, which live for the process.
std::deque<std::string>& doc_storage();

template <class C>
struct ClassBinding {
    using Est = typename C::Estimator;
    using Obj = Instance<Est>;
    using M = Member<Est>;
    static inline PyTypeObject* type = nullptr;

    static Obj* cast(PyObject* self) { return reinterpret_cast<Obj*>(self); }

    // tp_new: parse and convert the constructor arguments, then build the
    // estimator in place. Returns a new reference.
    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
        // The keywords on the stack: more than there are parameters can only
        // be an error, which parse_arguments reports for the first unknown name.
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        constexpr Py_ssize_t kept = kMaxParams + 1;
        PyObject* kw_names[kept];
        PyObject* kw_values[kept];
        Py_ssize_t pos = 0, count = 0;
        PyObject *key, *value;
        while (count < std::min(nkw, kept) && PyDict_Next(kwargs, &pos, &key, &value)) {
            kw_names[count] = key;
            kw_values[count++] = value;
        }
        PyObject* parsed[kMaxParams] = {};
        const auto params = C::ctor.span();
        if (!parse_arguments(C::name, "__new__", params, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kw_names,
                             kw_values, count, parsed))
            return nullptr;
        Args converted;
        if (!converted.convert(params, parsed)) return nullptr;
        return guarded([&]() -> PyObject* {
            allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
            PyRef self = PyRef::steal(alloc(t, 0));
            if (!self) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "allocation failed without an exception");
                return nullptr;
            }
            Obj* o = cast(self.get());
            o->borrow = BorrowFlag{0, linalg::fork_generation()};
            new (&o->est) std::optional<Est>();
            o->est.emplace(C::construct(converted));
            return self.release();
        });
    }

    static void tp_dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        cast(self)->est.~optional();
        freefunc free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        free_fn(self);
        Py_DECREF(tp);
    }

    static PyObject* tp_repr(PyObject* self) {
        Borrow access(cast(self)->borrow, Access::Shared);
        if (!access.ok()) return nullptr;
        return guarded([&] { return to_python(Outcome(cast(self)->est->repr())); });
    }

    // Runs one member on an instance after its arguments have been parsed.
    static PyObject* invoke(PyObject* self, const M& m, PyObject* const* parsed) {
        if (!PyObject_TypeCheck(self, type)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object", m.name, C::name);
            return nullptr;
        }
        Borrow access(cast(self)->borrow, m.access);
        if (!access.ok()) return nullptr;
        Args converted;
        if (!converted.convert(m.params.span(), parsed)) return nullptr;
        return guarded([&] { return to_python(run(m, *cast(self)->est, converted)); });
    }

    // Runs the member's numerical work, without the interpreter lock when it
    // is long enough for other threads to use the time. Nothing in it
    // touches Python objects: the arguments are converted views, kept alive
    // by the call, and the result is converted after the lock is back. The
    // borrow flag, taken under the lock, keeps other threads off the object.
    // The work is a compute section (a fork waits for it to end); without
    // the lock it also holds the BLAS to one thread, as the row passes do.
    static Outcome run(const M& m, typename C::Estimator& est, const Args& a) {
        if (work(m, est, a) < kReleaseLockFrom) {
            const linalg::ComputeSection section;
            return m.fn(est, a);
        }
        const ReleasedLock unlocked;
        const linalg::ComputeSection section;
        const linalg::SingleThreadedBlas blas;
        return m.fn(est, a);
    }

    // Elements the member reads, as its table entry says to measure them.
    static std::uint64_t work(const M& m, const typename C::Estimator& est, const Args& a) {
        switch (m.work) {
            case Work::Arguments:
                return a.elements();
            case Work::FittedDesign: {
                const auto& r = est.results();
                return r.n_samples.value_or(0) * (r.n_features.value_or(0) + 1);
            }
            case Work::None:
                break;
        }
        return 0;
    }

    static PyObject* getter(PyObject* self, void* closure) {
        return invoke(self, *static_cast<const M*>(closure), nullptr);
    }

    template <std::size_t I>
    static PyObject* call_noargs(PyObject* self, PyObject*) {
        return invoke(self, C::members[I], nullptr);
    }

    template <std::size_t I>
    static PyObject* call_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        const M& m = C::members[I];
        const Py_ssize_t npos = PyVectorcall_NARGS(nargs);
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        PyObject* parsed[kMaxParams] = {};
        if (!parse_arguments(C::name, m.name, m.params.span(), args, npos,
                             nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + npos, nkw, parsed))
            return nullptr;
        return invoke(self, m, parsed);
    }

    template <std::size_t I>
    static PyMethodDef method_def() {
        const M& m = C::members[I];
        const char* doc = doc_storage().emplace_back(method_doc(m.name, m.params.span(), m.doc)).c_str();
        if (m.params.count == 0) return {m.name, reinterpret_cast<PyCFunction>(&call_noargs<I>), METH_NOARGS, doc};
        return {m.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_fast<I>)),
                METH_FASTCALL | METH_KEYWORDS, doc};
    }

    template <std::size_t... I>
    static void collect(std::vector<PyMethodDef>& methods, std::vector<PyGetSetDef>& getset,
                        std::index_sequence<I...>) {
        (
            [&] {
                const M& m = C::members[I];
                if (m.kind == M::Kind::Method)
                    methods.push_back(method_def<I>());
                else
                    getset.push_back({m.name, &getter, nullptr, nullptr, const_cast<M*>(&C::members[I])});
            }(),
            ...);
    }

    // Creates the type object once per process. Returns a borrowed reference.
    static PyTypeObject* create() {
        if (type) return type;
        static std::vector<PyMethodDef> methods;
        static std::vector<PyGetSetDef> getset;
        static std::vector<PyType_Slot> slots;
        methods.clear();
        getset.clear();
        collect(methods, getset, std::make_index_sequence<C::members.size()>{});
        methods.push_back({nullptr, nullptr, 0, nullptr});
        getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        const char* doc = doc_storage().emplace_back(type_doc(C::name, C::ctor.span(), C::doc)).c_str();
        slots = {
            {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_methods, methods.data()},
            {Py_tp_getset, getset.data()},
        };
        if constexpr (C::has_repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&tp_repr)});
        slots.push_back({0, nullptr});
        // A qualified type name sets __module__; __name__ stays the bare class name.
        const char* qualified = doc_storage().emplace_back(std::string("ordinata.") + C::name).c_str();
        static PyType_Spec spec{};
        spec = {qualified, static_cast<int>(sizeof(Obj)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                slots.data()};
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) return nullptr;
        type = reinterpret_cast<PyTypeObject*>(t);
        return type;
    }
};

}  // namespace ordinata::binding
