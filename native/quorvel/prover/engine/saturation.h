// The given-clause loop of the first-order prover (saturation.cpp).
#pragma once

#include <Python.h>

#include <chrono>

namespace quorvel::engine {

struct Limits {
    long long max_steps = 1000;  // given clauses selected
    double timeout_sec = 10.0;   // wall clock, from `started`
    // When the call began: the time-out covers clausifying the input too.
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    std::chrono::steady_clock::time_point deadline() const {
        return started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(timeout_sec));
    }
};

enum class Outcome { Proved, Saturated, StepLimit, Timeout };

// Refutes `premises` plus `goal` (lists of Clause; the goal's clauses form
// the set of support). 1 with a new ProofDAG in *dag (Outcome::Proved), 0
// with *why telling why no proof was found, -1 with an exception set
// (Ctrl-C included).
int saturate(PyObject* premises, PyObject* goal, const Limits& limits, PyObject** dag, Outcome* why);

}  // namespace quorvel::engine
