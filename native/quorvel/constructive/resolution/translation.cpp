// The relational translation of intuitionistic propositional formulas into
// first-order formulas over Kripke worlds, and the prover that hands the
// translation to quorvel.prover.engine.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <vector>

#include "quorvel/constructive/resolution/state.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::resolution {

namespace {

using ast::Kind;

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

PyTypeObject* node_type(Kind k) { return ast::api().types[static_cast<int>(k)]; }
nb::handle ind() { return ast::api().ind; }

nb::object binary(Kind k, nb::handle left, nb::handle right) {
    return checked(ast::api().new_binary(node_type(k), left.ptr(), right.ptr()));
}
nb::object forall(nb::handle var, nb::handle body) {
    return checked(ast::api().new_quantifier(node_type(Kind::Forall), var.ptr(), body.ptr()));
}
nb::object atom(nb::handle pred, std::initializer_list<nb::handle> args) {
    nb::object tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(a.ptr()));
    nb::object arity = nb::int_(args.size());
    return checked(ast::api().new_predicate_app(node_type(Kind::PredicateApp), pred.ptr(), arity.ptr(), tuple.ptr()));
}
nb::object variable(nb::handle id) {
    return checked(ast::api().new_variable(node_type(Kind::Variable), id.ptr(), ast::api().variable_kinds[0], ind().ptr()));
}
nb::object world_constant() {
    nb::object name = nb::str("w0");
    return checked(ast::api().new_constant(node_type(Kind::Constant), name.ptr(), ind().ptr()));
}

// A new world variable numbered from counter[0], which then advances.
nb::object draw_variable(nb::handle counter) {
    nb::object id = counter[0];
    nb::object var = variable(id);
    counter[0] = id + nb::int_(1);
    return var;
}

bool is_falsum(nb::handle f) {
    int r = py::is_falsum(f.ptr());
    if (r < 0) throw nb::python_error();
    return r;
}
bool is_verum(nb::handle f) {
    int r = py::is_verum(f.ptr());
    if (r < 0) throw nb::python_error();
    return r;
}

// The pred of a translated atom: `renames` (a dict, or None) maps user atom
// names that would clash with the frame's own symbols.
nb::object atom_name(nb::handle pred, nb::handle renames) {
    if (!renames.is_none()) {
        PyObject* renamed = PyDict_GetItemWithError(renames.ptr(), pred.ptr());
        if (renamed) return nb::borrow(renamed);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return nb::borrow(pred);
}

// tau(formula, world) with an explicit stack: a Visit task translates a
// formula onto the value stack, a Build task combines the values on top.
nb::object translate(nb::handle formula, nb::handle world, nb::handle counter, nb::handle renames) {
    enum Op { Visit, BuildNot, BuildAnd, BuildOr, BuildImplies };
    struct Task {
        Op op;
        nb::object formula;  // Visit: the formula; Build*: unused
        nb::object world;
        nb::object var;      // BuildNot, BuildImplies: the world variable
    };
    std::vector<Task> tasks;
    std::vector<nb::object> values;
    tasks.push_back({Visit, nb::borrow(formula), nb::borrow(world), nb::object()});
    size_t ticks = 0;
    while (!tasks.empty()) {
        Task t = std::move(tasks.back());
        tasks.pop_back();
        if ((++ticks & 4095) == 0 && PyErr_CheckSignals() < 0) throw nb::python_error();
        if (t.op == Visit) {
            nb::handle f = t.formula;
            if (is_falsum(f) || is_verum(f)) {
                values.push_back(t.formula);
                continue;
            }
            Kind k = ast::kind_of(f.ptr());
            if (py::is_atomic(f.ptr())) {
                if (k == Kind::PredicateApp)
                    values.push_back(atom(atom_name(ast::as_predicate_app(f.ptr())->pred, renames), {t.world}));
                else
                    values.push_back(t.formula);
                continue;
            }
            if (k == Kind::Not) {
                nb::object u = draw_variable(counter);
                nb::object operand = nb::borrow(ast::as_unary(f.ptr())->operand);
                tasks.push_back({BuildNot, nb::object(), t.world, u});
                tasks.push_back({Visit, operand, u, nb::object()});
            } else if (k == Kind::And || k == Kind::Or) {
                nb::object left = nb::borrow(ast::as_binary(f.ptr())->left);
                nb::object right = nb::borrow(ast::as_binary(f.ptr())->right);
                tasks.push_back({k == Kind::And ? BuildAnd : BuildOr, nb::object(), t.world, nb::object()});
                tasks.push_back({Visit, right, t.world, nb::object()});
                tasks.push_back({Visit, left, t.world, nb::object()});
            } else if (k == Kind::Implies) {
                nb::object u = draw_variable(counter);
                nb::object left = nb::borrow(ast::as_binary(f.ptr())->left);
                nb::object right = nb::borrow(ast::as_binary(f.ptr())->right);
                tasks.push_back({BuildImplies, nb::object(), t.world, u});
                tasks.push_back({Visit, right, u, nb::object()});
                tasks.push_back({Visit, left, u, nb::object()});
            } else if (k == Kind::Iff) {
                tasks.push_back({Visit, checked(py::normalize_formula(f.ptr())), t.world, nb::object()});
            } else {
                values.push_back(t.formula);
            }
            continue;
        }
        if (t.op == BuildNot) {
            nb::object inner = std::move(values.back());
            values.pop_back();
            nb::object r = atom(nb::str("R"), {t.world, t.var});
            nb::object negated = checked(ast::api().new_unary(node_type(Kind::Not), inner.ptr()));
            values.push_back(forall(t.var, binary(Kind::Implies, r, negated)));
            continue;
        }
        nb::object right = std::move(values.back());
        values.pop_back();
        nb::object left = std::move(values.back());
        values.pop_back();
        if (t.op == BuildAnd) {
            values.push_back(binary(Kind::And, left, right));
        } else if (t.op == BuildOr) {
            values.push_back(binary(Kind::Or, left, right));
        } else {
            nb::object r = atom(nb::str("R"), {t.world, t.var});
            values.push_back(forall(t.var, binary(Kind::Implies, binary(Kind::And, r, left), right)));
        }
    }
    return std::move(values.back());
}

nb::object translate_ipc_to_fol(nb::handle formula, nb::handle world_term, nb::handle var_counter) {
    nb::object world = world_term.is_none() ? world_constant() : nb::borrow(world_term);
    nb::object counter = var_counter.is_none() ? nb::object(nb::list()) : nb::borrow(var_counter);
    if (var_counter.is_none()) counter.attr("append")(1);
    return translate(formula, world, counter, nb::none());
}

bool is_one_of(nb::handle name, std::initializer_list<const char*> texts) {
    for (const char* r : texts) {
        int eq = PyObject_RichCompareBool(name.ptr(), nb::str(r).ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return true;
    }
    return false;
}

nb::list get_frame_axioms(nb::handle atomic_predicates) {
    nb::object x = variable(nb::int_(1)), y = variable(nb::int_(2)), z = variable(nb::int_(3));
    nb::str R("R");
    nb::list axioms;
    axioms.append(forall(x, atom(R, {x, x})));
    nb::object rxy = atom(R, {x, y}), ryz = atom(R, {y, z}), rxz = atom(R, {x, z});
    axioms.append(forall(x, forall(y, forall(z, binary(Kind::Implies, binary(Kind::And, rxy, ryz), rxz)))));
    nb::object names = checked(PySet_New(atomic_predicates.ptr()));
    nb::object sorted = checked(PySequence_List(names.ptr()));
    if (PyList_Sort(sorted.ptr()) < 0) throw nb::python_error();
    for (nb::handle p : sorted) {
        if (is_one_of(p, {"R", "_bot", "_top"})) continue;
        axioms.append(forall(x, forall(y, binary(Kind::Implies, binary(Kind::And, atom(p, {x}), rxy), atom(p, {y})))));
    }
    return axioms;
}

// Atom names under the propositional connectives; `refuse` also rejects
// what the translation cannot carry: an atom with arguments, an equality, a
// quantifier (the name collection itself does not descend into them).
nb::object predicate_names(nb::handle formula, bool refuse) {
    nb::object names = checked(PySet_New(nullptr));
    std::vector<nb::handle> stack{formula};
    while (!stack.empty()) {
        nb::handle f = stack.back();
        stack.pop_back();
        Kind k = ast::kind_of(f.ptr());
        if (k == Kind::PredicateApp) {
            PyObject* pred = ast::as_predicate_app(f.ptr())->pred;
            if (refuse) {
                Py_ssize_t n = PyObject_Length(ast::as_predicate_app(f.ptr())->args);
                if (n < 0) throw nb::python_error();
                if (n > 0)
                    throw nb::value_error(("The translation method takes propositional formulas only; found the "
                                           "first-order atom " +
                                           std::string(nb::str(nb::handle(state().to_string)(f)).c_str()))
                                              .c_str());
            }
            if (!is_one_of(pred, {"_bot", "_top"}) && PySet_Add(names.ptr(), pred) < 0) throw nb::python_error();
        } else if (k == Kind::Not) {
            stack.push_back(ast::as_unary(f.ptr())->operand);
        } else if (ast::is_binary(k)) {
            stack.push_back(ast::as_binary(f.ptr())->right);
            stack.push_back(ast::as_binary(f.ptr())->left);
        } else if (refuse && (k == Kind::Equality || ast::is_quantifier(k))) {
            throw nb::value_error(("The translation method takes propositional formulas only; found " +
                                   std::string(nb::str(nb::handle(state().to_string)(f)).c_str()))
                                      .c_str());
        }
    }
    return names;
}

// max(value, 1) as the constructors store it: the value itself when greater.
nb::object at_least_one(nb::handle value) {
    nb::object one = nb::int_(1);
    int greater = PyObject_RichCompareBool(value.ptr(), one.ptr(), Py_GT);
    if (greater < 0) throw nb::python_error();
    return greater ? nb::borrow(value) : one;
}

// float(value) when above 0.1, else 0.1 (NaN included).
nb::object timeout_floor(nb::handle value) {
    double t = PyFloat_AsDouble(value.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return nb::float_(std::isnan(t) || !(t > 0.1) ? 0.1 : t);
}

struct TranslationProver {
    nb::object max_steps;
    nb::object timeout_sec;
};

struct FrontEnd {
    nb::object method;
    nb::object max_multiplicity;
    nb::object max_steps;
    nb::object timeout_sec;
};

struct Modules {
    nb::object to_string, signature_type, config_type, prover_type, result_type;
    nb::object sig_names, config_names;
};
Modules& modules() {
    static Modules* m = new Modules();  // lives with the interpreter: never destroyed at exit
    return *m;
}

nb::object text_of(nb::handle formula) { return modules().to_string(formula); }

nb::tuple normalised(nb::handle premises) {
    nb::list out;
    if (!premises.is_none())
        for (nb::handle p : premises) out.append(checked(py::normalize_formula(p.ptr())));
    return nb::tuple(out);
}

// A name that no input uses, for a user atom that would be read as the
// accessibility predicate or clash with the world constant.
nb::object fresh_name(const std::string& base, nb::handle names) {
    for (long k = 1;; ++k) {
        nb::str candidate((base + "_" + std::to_string(k)).c_str());
        int used = PySet_Contains(names.ptr(), candidate.ptr());
        if (used < 0) throw nb::python_error();
        if (!used) return std::move(candidate);
    }
}

nb::object translation_prove(TranslationProver& self, nb::handle target, nb::handle premises) {
    nb::object norm_target = checked(py::normalize_formula(target.ptr()));
    nb::tuple norm_premises = normalised(premises);
    nb::object names = checked(PySet_New(nullptr));
    for (nb::handle f : {nb::handle(norm_target)}) names.attr("update")(predicate_names(f, true));
    for (nb::handle f : norm_premises) names.attr("update")(predicate_names(f, true));
    // Renamed user atoms: "R" and "w0" are the frame's own symbols.
    nb::dict renames;
    nb::object used = names.attr("copy")();
    for (const char* own : {"R", "w0"}) {
        nb::str name(own);
        if (!PySet_Contains(names.ptr(), name.ptr())) continue;
        nb::object fresh = fresh_name(own, used);
        used.attr("add")(fresh);
        renames[name] = fresh;
    }
    nb::list atom_names;
    for (nb::handle n : names) atom_names.append(renames.contains(n) ? renames[n] : nb::borrow(n));
    atom_names.sort();  // the registration order of the name set is free: fixed here
    nb::object signature = modules().signature_type();
    signature.attr("register_predicate")("R", 2, nb::make_tuple(ind(), ind()));
    for (nb::handle n : atom_names) signature.attr("register_predicate")(n, 1, nb::make_tuple(ind()));
    signature.attr("register_constant")("w0", ind());
    nb::object world = world_constant();
    nb::handle rename = renames.size() ? nb::handle(renames) : nb::handle(Py_None);
    auto tau = [&](nb::handle f) {
        nb::list counter;
        counter.append(1);
        return translate(f, world, counter, rename);
    };
    nb::object target_fol = tau(norm_target);
    nb::list premises_fol;
    for (nb::handle p : norm_premises) premises_fol.append(tau(p));
    nb::list frame = get_frame_axioms(atom_names);
    nb::list all_premises = nb::steal<nb::list>(checked(PySequence_List(frame.ptr())).release());
    for (nb::handle p : premises_fol) all_premises.append(p);
    nb::object config = modules().config_type("prover_max_steps"_a = self.max_steps,
                                              "prover_timeout_sec"_a = self.timeout_sec);
    nb::object prover = modules().prover_type("signature"_a = signature, "config"_a = config);
    nb::object dag;
    try {
        dag = prover.attr("prove")("target"_a = target_fol, "premises"_a = all_premises, "max_steps"_a = self.max_steps,
                                   "timeout_sec"_a = self.timeout_sec);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::none();
    }
    return modules().result_type("is_valid"_a = true, "target_ipc"_a = norm_target, "premises_ipc"_a = norm_premises,
                                 "target_fol"_a = target_fol, "premises_fol"_a = nb::tuple(all_premises),
                                 "frame_axioms"_a = nb::tuple(frame), "proof_dag"_a = dag);
}

nb::object front_end_prove(FrontEnd& self, nb::handle target, nb::handle premises) {
    nb::object method = self.method;
    auto prefixed = [&]() {
        nb::object prover = nb::handle(reinterpret_cast<PyObject*>(state().prover_type))(
            "max_multiplicity"_a = self.max_multiplicity, "max_steps"_a = self.max_steps);
        return prover.attr("prove")("target"_a = target, "premises"_a = premises);
    };
    auto translation = [&]() {
        TranslationProver prover{at_least_one(self.max_steps), timeout_floor(self.timeout_sec)};
        return translation_prove(prover, target, premises);
    };
    auto is = [&](const char* name) {
        int eq = PyObject_RichCompareBool(method.ptr(), nb::str(name).ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        return eq != 0;
    };
    if (is("prefixed")) return prefixed();
    if (is("translation")) return translation();
    if (is("auto")) {
        nb::object r = prefixed();
        return r.is_none() ? translation() : r;
    }
    throw nb::value_error(("Unknown constructive resolution method: " + std::string(nb::str(method).c_str())).c_str());
}

// TranslationResolutionResult's methods, bound onto the dataclass.
PyObject* result_to_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        try {
            if (nargs != 1) throw nb::type_error("to_dict() takes no arguments");
            nb::handle self(args[0]);
            auto texts = [&](const char* field) {
                nb::list out;
                for (nb::handle f : self.attr(field)) out.append(text_of(f));
                return out;
            };
            nb::dict d;
            d["is_valid"] = self.attr("is_valid");
            d["target_ipc"] = text_of(self.attr("target_ipc"));
            d["premises_ipc"] = texts("premises_ipc");
            d["target_fol"] = text_of(self.attr("target_fol"));
            d["premises_fol"] = texts("premises_fol");
            d["frame_axioms"] = texts("frame_axioms");
            d["has_proof_dag"] = nb::bool_(!self.attr("proof_dag").is_none());
            return d.release().ptr();
        } catch (nb::python_error& e) {
            e.restore();
            return nullptr;
        }
    });
}

PyObject* result_to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        try {
            if (nargs != 1) throw nb::type_error("to_string() takes no arguments");
            nb::handle self(args[0]);
            auto text = [&](nb::handle f) { return std::string(nb::str(text_of(f)).c_str()); };
            std::string out = "=== Relational Translation Resolution Proof (IPC -> FOL) ===";
            out += "\nTarget (IPC): " + text(self.attr("target_ipc"));
            nb::object premises = self.attr("premises_ipc");
            if (nb::len(premises) > 0) {
                out += "\nPremises (IPC): ";
                bool first = true;
                for (nb::handle p : premises) {
                    if (!first) out += ", ";
                    first = false;
                    out += text(p);
                }
            }
            out += "\nTarget (FOL): " + text(self.attr("target_fol"));
            int valid = PyObject_IsTrue(self.attr("is_valid").ptr());
            if (valid < 0) throw nb::python_error();
            out += std::string("\nStatus: ") +
                   (valid ? "VALID (Proven via FOL Superposition/Resolution)" : "UNPROVABLE");
            out += "\nFrame Axioms Count: " + std::to_string(nb::len(nb::object(self.attr("frame_axioms"))));
            nb::object dag = self.attr("proof_dag");
            if (!dag.is_none()) out += "\nReconstructed Proof Steps: " + std::to_string(nb::len(nb::object(dag.attr("steps"))));
            return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
        } catch (nb::python_error& e) {
            e.restore();
            return nullptr;
        }
    });
}

#define METHOD(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL, doc}
PyMethodDef kResultMethods[] = {
    METHOD("to_dict", result_to_dict, "The result as a dictionary of plain values."),
    METHOD("to_string", result_to_string, "The text report of the translation method."),
    METHOD("__str__", result_to_string, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

// Runs a registration body that throws nanobind errors: false with the
// exception set instead.
template <class Body>
bool registered(Body body) {
    try {
        body();
        return true;
    } catch (nb::python_error& e) {
        e.restore();
        return false;
    } catch (...) {
        py::set_error_from_current_exception();
        return false;
    }
}

}  // namespace

bool init_translation(PyObject* module) {
    return registered([&] {
        nb::module_ m = nb::borrow<nb::module_>(module);
        Modules& mods = modules();
        mods.to_string = nb::borrow(state().to_string);
        mods.signature_type = nb::module_::import_("quorvel.core.signature").attr("Signature");
        mods.config_type = nb::module_::import_("quorvel.config").attr("SolverConfig");
        mods.prover_type = nb::module_::import_("quorvel.prover.engine").attr("TheoremProver");
        nb::module_::import_("quorvel.prover.proof").attr("ProofDAG");
        PyObject* type = make_record(module, "TranslationResolutionResult",
                                     "The outcome of a proof by relational translation into first-order logic.",
                                     {{"is_valid", "bool", nullptr},
                                      {"target_ipc", "Formula", nullptr},
                                      {"premises_ipc", "Tuple[Formula, ...]", nullptr},
                                      {"target_fol", "Formula", nullptr},
                                      {"premises_fol", "Tuple[Formula, ...]", nullptr},
                                      {"frame_axioms", "Tuple[Formula, ...]", nullptr},
                                      {"proof_dag", "Optional[ProofDAG]", nullptr}},
                                     kResultMethods, false);
        if (!type) throw nb::python_error();
        mods.result_type = nb::steal(type);

        m.def("translate_ipc_to_fol", &translate_ipc_to_fol, "formula"_a, "world_term"_a = nb::none(),
              "var_counter"_a = nb::none(),
              "The first-order formula stating that `formula` is forced at `world_term` (default the constant w0); "
              "world variables take their ids from var_counter[0], which advances.");
        m.def("get_frame_axioms", &get_frame_axioms, "atomic_predicates"_a,
              "Reflexivity and transitivity of R, then the monotonicity axiom of each atom name in ascending order "
              "(R, _bot and _top excepted).");
        m.def("_extract_predicate_names", [](nb::handle f) { return predicate_names(f, false); }, "formula"_a,
              "The atom names under the propositional connectives, without _bot and _top.");

        nb::class_<TranslationProver>(m, "TranslationResolutionProver",
                                      "Proves by relational translation into first-order logic and the first-order "
                                      "prover (limits: max_steps at least 1, timeout_sec at least 0.1).")
            .def(nb::new_([](nb::handle max_steps, nb::handle timeout_sec) {
                     return TranslationProver{at_least_one(max_steps), timeout_floor(timeout_sec)};
                 }),
                 "max_steps"_a = 1000, "timeout_sec"_a = 10.0)
            .def_rw("max_steps", &TranslationProver::max_steps)
            .def_rw("timeout_sec", &TranslationProver::timeout_sec)
            .def("prove", &translation_prove, "target"_a, "premises"_a = nb::none(),
                 "A TranslationResolutionResult when the first-order prover proves the translated goal from the "
                 "frame axioms and the translated premises, else None. Formulas with first-order atoms, equalities "
                 "or quantifiers are refused with ValueError.");
        m.def(
            "prove_translation_resolution",
            [](nb::handle formula, nb::handle premises, nb::handle max_steps, nb::handle timeout_sec) {
                TranslationProver prover{at_least_one(max_steps), timeout_floor(timeout_sec)};
                return translation_prove(prover, formula, premises);
            },
            "formula"_a, "premises"_a = nb::none(), "max_steps"_a = 1000, "timeout_sec"_a = 10.0,
            "TranslationResolutionProver(max_steps=..., timeout_sec=...).prove(formula, premises).");
    });
}

bool init_front_end(PyObject* module) {
    return registered([&] {
        nb::module_ m = nb::borrow<nb::module_>(module);
        auto build = [](nb::handle method, nb::handle mult, nb::handle steps, nb::handle timeout) {
            return FrontEnd{method.attr("lower")(), at_least_one(mult), at_least_one(steps), timeout_floor(timeout)};
        };
        nb::class_<FrontEnd>(m, "ConstructiveResolutionProver",
                             "Chooses the method by name: \"prefixed\", \"translation\", or \"auto\" (prefixed, then "
                             "translation when it finds nothing).")
            .def(nb::new_(build), "method"_a = "prefixed", "max_multiplicity"_a = 3, "max_steps"_a = 1000,
                 "timeout_sec"_a = 10.0)
            .def_rw("method", &FrontEnd::method)
            .def_rw("max_multiplicity", &FrontEnd::max_multiplicity)
            .def_rw("max_steps", &FrontEnd::max_steps)
            .def_rw("timeout_sec", &FrontEnd::timeout_sec)
            .def("prove", &front_end_prove, "target"_a, "premises"_a = nb::none(),
                 "The result record of the chosen method, or None.");
        m.def(
            "prove_resolution",
            [build](nb::handle formula, nb::handle premises, nb::handle method, nb::handle mult, nb::handle steps,
                    nb::handle timeout) {
                FrontEnd f = build(method, mult, steps, timeout);
                return front_end_prove(f, formula, premises);
            },
            "formula"_a, "premises"_a = nb::none(), "method"_a = "prefixed", "max_multiplicity"_a = 3,
            "max_steps"_a = 1000, "timeout_sec"_a = 10.0,
            "ConstructiveResolutionProver(method, max_multiplicity, max_steps, timeout_sec).prove(formula, "
            "premises).");
        nb::list all;
        for (const char* name :
             {"PrefixedLiteral", "PrefixedClause", "PrefixedResolutionStep", "PrefixedResolutionProofResult",
              "clausify_prefixed", "resolve_prefixed_clauses", "factor_prefixed_clause", "PrefixedResolutionProver",
              "prove_prefixed_resolution", "translate_ipc_to_fol", "get_frame_axioms", "TranslationResolutionResult",
              "TranslationResolutionProver", "prove_translation_resolution", "ConstructiveResolutionProver",
              "prove_resolution"})
            all.append(name);
        m.attr("__all__") = all;
    });
}

}  // namespace quorvel::resolution
