// An owned matrix for results and work storage.
#pragma once

#include <cstddef>
#include <vector>

#include "support/huge_pages.hpp"
#include "support/sizes.hpp"
#include "support/views.hpp"

namespace quelbrin {

// An owned, zero-filled, row-major (rows, cols) matrix.  A shape whose byte size cannot be
// represented (broadcast inputs can be far larger than memory) fails as std::bad_alloc.
template <class F>
struct Matrix {
    std::vector<F> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c) {
        assign_on_huge_pages(data, checked_count<F>(r, c), F(0));
    }

    F* row(std::size_t r) { return data.data() + r * cols; }
    const F* row(std::size_t r) const { return data.data() + r * cols; }
    F& operator()(std::size_t r, std::size_t c) { return data[r * cols + c]; }
    F operator()(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
    MatrixView<F> view() const { return MatrixView<F>::row_major(data.data(), rows, cols); }
};

}  // namespace quelbrin
