// quorvel.config: SolverConfig, the limits of the first-order prover.
#include <nanobind/nanobind.h>

#include <climits>

#include "quorvel/config/api.h"
#include "quorvel/config/limits.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/frozen_init.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"

namespace nb = nanobind;

namespace {

using quorvel::py::Ref;

quorvel::config::Api g_api{};

const char* const kFields[] = {"prover_max_steps", "prover_timeout_sec"};
const quorvel::py::Signature kInit{"SolverConfig.__init__", kFields, 2, 0, 0, true};

// The fields from the constructor's arguments, with the defaults, normalised.
bool limits_from(PyObject* args, PyObject* kwargs, Ref (&values)[2]) {
    PyObject* p[2];
    if (!quorvel::py::parse_tuple(kInit, args, kwargs, p)) return false;
    values[0] = Ref(p[0] ? quorvel::config::normalised_steps(p[0])
                         : PyLong_FromLongLong(quorvel::config::kDefaultMaxSteps));
    if (!values[0]) return false;
    values[1] = Ref(p[1] ? quorvel::config::normalised_timeout(p[1])
                         : PyFloat_FromDouble(quorvel::config::kDefaultTimeout));
    return bool(values[1]);
}

int config_init(PyObject* self, PyObject* args, PyObject* kwargs);

// The record type's own constructor takes both fields as required; this one
// gives the defaults and normalises. A subclass with an __init__ of its own
// gets the defaults here, and super().__init__(...) sets its fields.
PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return quorvel::py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        bool placeholder = quorvel::py::builds_in_init(type, config_init);
        Ref values[2];
        if (!limits_from(placeholder ? nullptr : args, placeholder ? nullptr : kwargs, values)) return nullptr;
        PyObject* fields[] = {values[0].get(), values[1].get()};
        return quorvel::py::new_record(type, fields);
    });
}

int config_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return quorvel::py::guard<int>(-1, [&]() -> int {
        if (!quorvel::py::builds_in_init(Py_TYPE(self), config_init)) return 0;  // config_new used these
        Ref values[2];
        if (!limits_from(args, kwargs, values)) return -1;
        PyObject* fields[] = {values[0].get(), values[1].get()};
        return quorvel::py::fill_record(self, fields);
    });
}

int read_limits(PyObject* config, long long* max_steps, double* timeout_sec) {
    Ref steps, timeout;
    if (PyObject_TypeCheck(config, g_api.solver_config_type)) {
        steps = Ref::borrow(quorvel::py::record_field(config, 0));
        timeout = Ref::borrow(quorvel::py::record_field(config, 1));
    } else {
        Ref s(PyObject_GetAttrString(config, "prover_max_steps"));
        if (!s) return -1;
        Ref t(PyObject_GetAttrString(config, "prover_timeout_sec"));
        if (!t) return -1;
        steps = Ref(quorvel::config::normalised_steps(s.get()));
        timeout = Ref(quorvel::config::normalised_timeout(t.get()));
        if (!steps || !timeout) return -1;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(steps.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    *max_steps = overflow > 0 ? LLONG_MAX : n;
    *timeout_sec = PyFloat_AsDouble(timeout.get());
    return *timeout_sec == -1.0 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace

NB_MODULE(config, m) {
    m.doc() = "Configuration of the first-order prover.";
    PyTypeObject* t = quorvel::py::make_record_type(
        {"quorvel.config.SolverConfig",
         "SolverConfig(prover_max_steps=1000, prover_timeout_sec=10.0)\n--\n\nThe limits of the first-order prover: "
         "a step limit (at least 1) and a time-out in seconds (at least 0.1; NaN counts as 0.1).",
         kFields, 2, nullptr, nullptr, config_new, config_init});
    if (!t) throw nb::python_error();
    m.attr("SolverConfig") = nb::steal(reinterpret_cast<PyObject*>(t));
    g_api.version = quorvel::config::kApiVersion;
    g_api.solver_config_type = t;
    g_api.read_limits = read_limits;
    PyObject* capsule = PyCapsule_New(&g_api, quorvel::config::kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
}
