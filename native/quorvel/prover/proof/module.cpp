// quorvel.prover.proof: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/prover/proof/api.h"
#include "quorvel/prover/proof/dag.h"

namespace nb = nanobind;

NB_MODULE(proof, m) {
    using namespace quorvel::proof;
    m.doc() = "Derivations found by the first-order prover.";
    if (!create_types()) throw nb::python_error();
    m.attr("ProofStep") = nb::handle(reinterpret_cast<PyObject*>(state().step_type));
    m.attr("ProofDAG") = nb::handle(reinterpret_cast<PyObject*>(state().dag_type));
    static Api api{kApiVersion, state().dag_type, state().step_type, new_dag, add_step};
    PyObject* capsule = PyCapsule_New(&api, kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
}
