// Building the module's state and its seven classes (classes.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace quorvel::visitors {

// Interned names, node classes and flags; after quorvel.sol.ast_ext loaded.
void init_state();

// T must be in the module already; adds ASTVisitor and the six visitors.
void create_classes(nanobind::module_& m);

}  // namespace quorvel::visitors
