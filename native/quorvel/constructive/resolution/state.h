// Module state of quorvel.constructive.resolution: the record classes, the
// names it takes from its siblings and interned texts, made once at import.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "quorvel/support/flat_map.h"

namespace quorvel::resolution {

struct State {
    // Record classes (dataclasses made at import).
    PyObject* literal_type = nullptr;
    PyObject* clause_type = nullptr;
    PyObject* step_type = nullptr;
    PyObject* result_type = nullptr;
    PyTypeObject* prover_type = nullptr;
    PyObject* own_search = nullptr;  // the type's own descriptors (borrowed from its dict)
    PyObject* own_prove = nullptr;

    // From the siblings.
    PyObject* to_string = nullptr;         // quorvel.core.parser.to_string
    PyObject* unify_prefixes = nullptr;    // quorvel.constructive.prefix
    PyObject* is_admissible = nullptr;
    PyObject* substitution_type = nullptr; // PrefixSubstitution

    PyObject* empty_tuple = nullptr;
    PyObject* empty_frozenset = nullptr;
    PyObject* s_prefix = nullptr;
    PyObject* s_polarity = nullptr;
    PyObject* s_atom = nullptr;
    PyObject* s_literals = nullptr;
    PyObject* s_apply = nullptr;
    PyObject* s_variables = nullptr;
    PyObject* s_constants = nullptr;
    PyObject* s_to_string = nullptr;
    PyObject* s_to_dict = nullptr;
    PyObject* s_mapping = nullptr;
    PyObject* s_tree_order = nullptr;
    PyObject* s_leaves = nullptr;
    PyObject* s_formula = nullptr;
    PyObject* s_search_refutation = nullptr;
    PyObject* s_prove = nullptr;
    PyObject* s_max_multiplicity = nullptr;
    PyObject* s_max_steps = nullptr;
};

State& state();

struct FieldSpec {
    const char* name;
    const char* type;
    PyObject* field;  // a dataclasses.field(...) or a default, or NULL (required)
};
// A dataclass `name` of `module` with native methods, added to the module.
// New reference or NULL.
PyObject* make_record(PyObject* module, const char* name, const char* doc, const std::vector<FieldSpec>& fields,
                      PyMethodDef* methods, bool frozen, bool slots = false);

// Each concept registers its names on the module; false with an exception set.
bool init_prefixed_records(PyObject* module);   // PrefixedLiteral, PrefixedClause, step, result
bool init_clausify(PyObject* module);           // clausify_prefixed
bool init_inference(PyObject* module);          // resolve_prefixed_clauses, factor_prefixed_clause
bool init_prefixed_prover(PyObject* module);    // PrefixedResolutionProver, prove_prefixed_resolution
bool init_translation(PyObject* module);        // the relational translation and its prover
bool init_front_end(PyObject* module);          // ConstructiveResolutionProver, prove_resolution, __all__

// clausify_prefixed(target, premises, multiplicity) as a new (list, tree) pair.
PyObject* clausify(PyObject* target, PyObject* premises, PyObject* multiplicity);

// A record of one of the dataclasses above, built as its __init__ would
// build it (the fields stored in field order) without running it. `names`
// is a tuple of the field names. New reference or NULL.
PyObject* new_record(PyObject* type, PyObject* names, PyObject* const* values);
// Builds a record from its fields; new reference or NULL.
PyObject* make_literal(PyObject* prefix, PyObject* polarity, PyObject* atom);
PyObject* make_clause(PyObject* literals);  // a frozenset

// While one is in place, the literals added to it hash as they did when
// added, without reading their fields again: for the many sets clausify
// fills with the same few literals. Each literal must stay alive (and its
// fields unchanged: the records are frozen) while the memo is in place.
class LiteralHashMemo {
public:
    // Room for `expected` literals.
    explicit LiteralHashMemo(size_t expected = 0);
    ~LiteralHashMemo();
    LiteralHashMemo(const LiteralHashMemo&) = delete;
    LiteralHashMemo& operator=(const LiteralHashMemo&) = delete;
    // Hashes `literal` (or takes `known`, its hash if not -1) and keeps its
    // hash; false with the hash's exception.
    bool add(PyObject* literal, Py_hash_t known = -1);

private:
    IdentityMap<Py_hash_t> hashes_;
    IdentityMap<Py_hash_t>* previous_;
};
// True when `literal`'s class hashes and compares by the native slots (no
// Python code of a user's runs in either).
bool literal_compares_natively(PyObject* literal);
// The hash such a literal of these fields has; -1 with an exception set.
Py_hash_t literal_fields_hash(PyObject* prefix, PyObject* polarity, PyObject* atom);
// The literal text "atom^polarity:prefix" appended to `out`; false with an exception set.
bool append_literal_text(std::string& out, PyObject* literal);

}  // namespace quorvel::resolution
