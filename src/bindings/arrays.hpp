// NumPy exchange: the lazily fetched C API, checked input arrays with plain views of their
// data, and the zero-filled arrays that results are written into.  This is the only part of
// the module that includes NumPy's headers.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "bindings/call.hpp"
#include "support/views.hpp"

namespace quelbrin::bindings {

// An input array whose type, dimension count and dtype have been checked.  Holds a
// reference for the call; inputs are only ever read.
struct InputArray {
    Ref array;
    // The argument was a numpy.ma.MaskedArray with at least one masked entry.
    bool had_masked = false;
    // The argument's name, for messages about it.
    const char* name = "";
};

// What a masked entry of a numpy.ma.MaskedArray argument stands for.
enum class MaskedEntries {
    missing,      // a missing observation: read as NaN
    zero_weight,  // a weight of 0
    flagged,      // not read at all: only InputArray::had_masked is set, for the caller to refuse
};

// Converts argument `name`: an ndarray (or subclass) with `ndim` dimensions whose dtype is
// that of F (or equivalent to it), else the cast TypeError naming 'ndarray', followed by
// what was expected and what was given.  A
// numpy.ma.MaskedArray with masked entries is read through `obj.filled(...)` as `masked`
// says (the caller's array is not changed); one without masked entries is read as the
// plain array it holds.  The first call in the process fetches NumPy's C API; if that fails
// it panics with a text beginning "Failed to access NumPy array API capsule", and the next
// call tries again.
template <class F>
InputArray to_array(PyObject* obj, int ndim, const char* name, MaskedEntries masked);

// The elements of a 1-D array as one contiguous run.  Data that is not aligned for F is
// copied, so the numerics always read properly aligned values.
template <class F>
class FlatArray {
  public:
    FlatArray(const F* data, std::size_t size) : data_(data), size_(size) {}
    explicit FlatArray(std::vector<F> copy) : copy_(std::move(copy)) {
        data_ = copy_.data();
        size_ = copy_.size();
    }
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    std::span<const F> span() const { return {data_, size_}; }

  private:
    std::vector<F> copy_;
    const F* data_ = nullptr;
    std::size_t size_ = 0;
};

// TypeError "The given array is not contiguous" unless the array is C- or F-contiguous,
// followed by the argument's name, its strides and the cure.
template <class F>
FlatArray<F> flat(const InputArray& a);

// A read view of a 2-D array with its own byte strides (negative and zero strides too).
template <class F>
MatrixView<F> matrix_view(const InputArray& a);

// A new zero-filled C-ordered (rows, cols) array of F; its buffer goes to *data.  If NumPy
// cannot make it (too big, out of memory) its own exception is raised as it is.  Callable
// with the lock released for the work (gil.hpp): it takes it back meanwhile.
template <class F>
Ref new_zeros(std::size_t rows, std::size_t cols, F** data);

}  // namespace quelbrin::bindings
