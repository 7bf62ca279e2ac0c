// The interpreter a module belongs to.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/errors.hpp"

namespace quelbrin::bindings {

// A module's state (the NumPy API table, the cached module object) belongs to the
// interpreter that first imported it: `owner` records that interpreter, and an import from
// another one is an ImportError naming the module.
inline void claim_interpreter(std::atomic<std::int64_t>& owner, std::string_view module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_python_error();
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        throw_new_error(PyExc_ImportError,
                        std::string(module) +
                            " does not support sub-interpreters: it can only be imported in "
                            "the interpreter that first imported it");
    }
}

}  // namespace quelbrin::bindings
