// The house formula printer: one engine for quorvel.core.parser.to_string and
// every module that prints formulas (tableau, LJT, Kripke texts, visitors).
//
// Forms (per node; L, R, X, B are the parts' own texts, I a variable's id,
// S the name of a bound variable's sort, N a second-order binder's name):
//   infix:  Variable "v"I, Constant name, f(a, b) / f(), atom P(a, b) / P,
//           "L = R", "~X" or "~(X)" for a binary operand, "(L & R)", "(L | R)",
//           "(L => R)", "(L <=> R)", "forall vI : S, B", "exists vI : S, B",
//           "forall_pred N, B" (also exists_pred, forall_func, exists_func)
//   latex:  "v_{I}", "\neg X" or "\neg (X)", "(L \land R)", "(L \lor R)",
//           "(L \implies R)", "(L \iff R)", "\forall v_{I} : S, B",
//           "\forall N, B" for both second-order universals (likewise \exists);
//           applications and equations as in infix
//   prefix: "(not X)", "(and L R)", "(=> L R)", "(= L R)", "(f a b)", f, P,
//           "(forall (vI : S) B)", "(forall_pred (N) B)", ...
// A symbol that is not a str prints its `name` attribute when it has one,
// else its text; names are inserted verbatim, nothing is escaped. Deferred
// lookups (symbol texts, sort and binder names) run after the node's
// children, in the order a recursive visitor would run them, so the first
// error raised is the one such a visitor raises. The walk is iterative: any
// depth prints.
#pragma once

#include <Python.h>

#include <string>

namespace quorvel::py {

enum class Notation { Infix, Prefix, Latex };

// Parses a notation name (a str equal to "infix", "prefix" or "latex");
// false (no exception set) for anything else.
bool parse_notation(PyObject* name, Notation& out);

// Text of a term or formula as a new str, or NULL with an exception set.
// A value that is no node raises TypeError "Unsupported AST node type: "
// followed by its class's __name__; so does, with `exact_classes`, an
// instance of a Python subclass of a node class (otherwise such an instance
// prints as its base class).
PyObject* format_node(PyObject* node, Notation notation, bool exact_classes = false);

// Appends the text to `out` as UTF-8 (lone surrogates of a name encoded as
// by the "surrogatepass" error handler, so decode with it); false with an
// exception set, and `out` then as it was.
bool append_node(std::string& out, PyObject* node, Notation notation, bool exact_classes = false);

// Decodes UTF-8 made by append_node into a new str, or NULL.
PyObject* decode_text(const std::string& text);

}  // namespace quorvel::py
