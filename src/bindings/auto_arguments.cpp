#include "bindings/auto_arguments.hpp"

#include <string>

namespace quelbrin::bindings {

void warn_unfitted(const double* lam, std::size_t S) {
    constexpr std::size_t kShown = 5;
    std::size_t count = 0;
    std::string rows;
    for (std::size_t s = 0; s < S; ++s) {
        if (lam[s] == lam[s]) continue;
        if (count < kShown) rows += (count == 0 ? "" : ", ") + std::to_string(s);
        ++count;
    }
    if (count == 0) return;
    if (count > kShown) rows += ", ...";
    const std::string text = std::to_string(count) + " series" +
                             " could not be fitted to the trust rule at their lam (rows " + rows +
                             "); their z, lam and statistics are NaN";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) throw_python_error();
}

}  // namespace quelbrin::bindings
