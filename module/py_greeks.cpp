#include "py_greeks.hpp"

#include <string>

#include "errors.hpp"
#include "fault_injection.hpp"
#include "fixed_format.hpp"

namespace greekmill::python {
namespace {

struct PyGreeksObject {
    PyObject_HEAD
    double delta;
    double gamma;
    double theta;
    double vega;
    double rho;
};

template <double PyGreeksObject::*Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        GM_FAULT_THROW("getter");
        PyObject* value = GM_FAULT_OR(
            "getter_float", PyFloat_FromDouble(reinterpret_cast<PyGreeksObject*>(self)->*Field));
        if (value == nullptr) {
            return raise_panic("could not create a float for a PyGreeks attribute");
        }
        return value;
    });
}

// Refuses construction from Python: instances come only from the module.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* name = PyType_GetName(type);
    PyObject* text = name != nullptr ? PyObject_Str(name) : nullptr;
    Py_XDECREF(name);
    if (text == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", text);
    Py_DECREF(text);
    return nullptr;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    // Instances of a heap type hold a reference to it from their allocation.
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        GM_FAULT_THROW("repr");
        const auto* g = reinterpret_cast<const PyGreeksObject*>(self);
        std::string text = "Greeks(delta=";
        append_fixed6(text, g->delta);
        text += ", gamma=";
        append_fixed6(text, g->gamma);
        text += ", theta=";
        append_fixed6(text, g->theta);
        text += ", vega=";
        append_fixed6(text, g->vega);
        text += ", rho=";
        append_fixed6(text, g->rho);
        text += ')';
        PyObject* result = GM_FAULT_OR(
            "repr_str",
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (result == nullptr) {
            return raise_panic("could not create the repr of PyGreeks");
        }
        return result;
    });
}

// Pickling: the five fields, bit for bit, and the module's reconstructor
// (the class has no constructor to call).  Protocols 2 and later store the
// doubles as their eight bytes, so a NaN's payload and a zero's sign survive.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* module = PyImport_ImportModule("greekmill_python");
        if (module == nullptr) {
            return nullptr;
        }
        PyObject* rebuild = PyObject_GetAttrString(module, kRebuildGreeksName);
        Py_DECREF(module);
        if (rebuild == nullptr) {
            return nullptr;
        }
        const auto* g = reinterpret_cast<const PyGreeksObject*>(self);
        return Py_BuildValue("(N(ddddd))", rebuild, g->delta, g->gamma, g->theta, g->vega,
                             g->rho);
    });
}

PyObject* rebuild_greeks(PyObject*, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        constexpr Py_ssize_t kFields = 5;
        double fields[kFields];
        if (!PyTuple_Check(args) || PyTuple_Size(args) != kFields) {
            PyErr_Format(PyExc_TypeError, "%s() takes the five fields of a PyGreeks",
                         kRebuildGreeksName);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < kFields; ++i) {
            PyObject* item = PyTuple_GetItem(args, i);
            if (item == nullptr) {
                return nullptr;
            }
            if (Py_TYPE(item) != &PyFloat_Type) {
                PyErr_Format(PyExc_TypeError, "%s() takes floats only", kRebuildGreeksName);
                return nullptr;
            }
            fields[i] = PyFloat_AsDouble(item);
        }
        return new_greeks(Greeks{fields[0], fields[1], fields[2], fields[3], fields[4]});
    });
}

PyMethodDef greeks_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "The fields and their reconstructor, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef greeks_getset[] = {
    {"delta", get_field<&PyGreeksObject::delta>, nullptr, "", nullptr},
    {"gamma", get_field<&PyGreeksObject::gamma>, nullptr, "", nullptr},
    {"theta", get_field<&PyGreeksObject::theta>, nullptr, "", nullptr},
    {"vega", get_field<&PyGreeksObject::vega>, nullptr, "", nullptr},
    {"rho", get_field<&PyGreeksObject::rho>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot greeks_slots[] = {
    {Py_tp_doc, const_cast<char*>("Container for all option Greeks returned to Python")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, greeks_getset},
    {Py_tp_methods, greeks_methods},
    {0, nullptr},
};

// Immutable: the class's attributes can be neither set nor deleted, so no
// code in the process can replace __new__, __repr__, a field's getter or the
// names, nor move an instance to another class through __class__.  Not a
// base type (no subclassing) and not tracked by the cycle collector, since
// an instance holds no references.
PyType_Spec greeks_spec = {
    "builtins.PyGreeks",
    static_cast<int>(sizeof(PyGreeksObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    greeks_slots,
};

PyMethodDef rebuild_greeks_def = {
    kRebuildGreeksName, rebuild_greeks, METH_VARARGS,
    "Rebuilds a pickled PyGreeks from its five fields (delta, gamma, theta, vega, rho).",
};

PyTypeObject* cached_type = nullptr;
allocfunc cached_alloc = nullptr;

}  // namespace

PyTypeObject* greeks_type() noexcept {
    if (cached_type == nullptr) {
        PyObject* type = GM_FAULT_OR("greeks_type", PyType_FromSpec(&greeks_spec));
        if (type == nullptr) {
            return nullptr;
        }
        auto alloc = reinterpret_cast<allocfunc>(
            PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
        cached_alloc = alloc != nullptr ? alloc : PyType_GenericAlloc;
        cached_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return cached_type;
}

void forget_greeks_type() noexcept {
    cached_type = nullptr;
    cached_alloc = nullptr;
}

PyMethodDef* rebuild_greeks_method() noexcept { return &rebuild_greeks_def; }

PyObject* new_greeks(const Greeks& greeks) noexcept {
    PyTypeObject* type = greeks_type();
    if (type == nullptr) {
        return raise_panic("the PyGreeks type is not available");
    }
    PyObject* self = GM_FAULT_OR("greeks_alloc", cached_alloc(type, 0));
    if (self == nullptr) {
        return raise_panic("could not allocate a PyGreeks object");
    }
    auto* g = reinterpret_cast<PyGreeksObject*>(self);
    g->delta = greeks.delta;
    g->gamma = greeks.gamma;
    g->theta = greeks.theta;
    g->vega = greeks.vega;
    g->rho = greeks.rho;
    return self;
}

}  // namespace greekmill::python
