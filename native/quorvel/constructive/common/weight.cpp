#include "quorvel/constructive/common/weight.h"

#include <unordered_map>
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::common {
namespace {

using ast::Kind;

// Post-order with a memo by identity; weights are Python ints, since a
// shared DAG unfolds into more nodes than 64 bits count.
class Weigher {
public:
    ~Weigher() {
        for (auto& [node, w] : done_) Py_DECREF(w);
    }

    PyObject* run(PyObject* root) {
        stack_.push_back({root, false});
        py::SignalPoll poll;
        while (!stack_.empty()) {
            auto [o, expanded] = stack_.back();
            if (done_.count(o)) {
                stack_.pop_back();
                continue;
            }
            PyObject* kids[2];
            int n = ast::formula_children(o, ast::kind_of(o), kids);
            if (!expanded) {
                stack_.back().expanded = true;
                if (!poll.charge()) return nullptr;
                for (int i = n - 1; i >= 0; --i)
                    if (!done_.count(kids[i])) stack_.push_back({kids[i], false});
                continue;
            }
            stack_.pop_back();
            PyObject* w = PyLong_FromLong(1);
            for (int i = 0; i < n && w; ++i) {
                PyObject* sum = PyNumber_Add(w, done_.at(kids[i]));
                Py_DECREF(w);
                w = sum;
            }
            if (!w) return nullptr;
            done_.emplace(o, w);
        }
        return Py_NewRef(done_.at(root));
    }

private:
    struct Frame {
        PyObject* node;
        bool expanded;
    };
    std::vector<Frame> stack_;
    std::unordered_map<PyObject*, PyObject*> done_;  // node (borrowed) -> weight (owned)
};

}  // namespace

PyObject* formula_weight(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Weigher w;
        return w.run(formula);
    });
}

}  // namespace quorvel::common
