// Parameter records: every Python function binds through one table of records, one per
// parameter in order (nanobind's arg_data).  A record holds the name, whether the argument
// is required, what None means and the converter that writes the argument into the call's
// record; the defaults are the member initialisers of that record (the core's options
// struct), so an omitted argument simply leaves its member alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>

#include "bindings/call.hpp"

namespace quelbrin::bindings {

enum class NoneMeans {
    invalid,        // None goes to the converter, which rejects it (the cast TypeError)
    default_value,  // None is the same as omitting the argument
    absent,         // None switches the option off: the converter receives a null object
};

template <class Call>
struct Param {
    const char* name;
    bool required;
    NoneMeans none;
    // Writes the argument `obj` (null for None when none == absent) into `call`.
    void (*convert)(Call& call, PyObject* obj, const char* name);
};

// A function's records with its name and the parameter names binding reads.
template <class Call, std::size_t N>
struct ParamTable {
    const char* function;
    std::array<Param<Call>, N> params;
    std::array<const char*, N> names;
    std::size_t required;

    constexpr ParamTable(const char* fn, const std::array<Param<Call>, N>& p)
        : function(fn), params(p), names{}, required(0) {
        for (std::size_t i = 0; i < N; ++i) {
            names[i] = p[i].name;
            if (p[i].required) required = i + 1;
        }
    }
    Signature signature() const { return Signature{function, names, required}; }
};

// Binds the arguments (or raises the binding TypeError) and converts them in parameter
// order into a fresh Call, whose members not given keep their initialisers.
template <class Call, std::size_t N>
void bind_call(const ParamTable<Call, N>& table, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames, Call& call) {
    std::array<PyObject*, N> slot{};
    bind(table.signature(), args, nargsf, kwnames, slot.data());
    for (std::size_t i = 0; i < N; ++i) {
        const Param<Call>& p = table.params[i];
        PyObject* obj = slot[i];
        if (obj == nullptr) continue;  // omitted: the default stands
        if (obj == Py_None && p.none == NoneMeans::default_value) continue;
        if (obj == Py_None && p.none == NoneMeans::absent) obj = nullptr;
        p.convert(call, obj, p.name);
    }
}

}  // namespace quelbrin::bindings
