// Plain views of caller-owned matrices.  No Python, no NumPy: the binding layer builds
// these from arrays, the numerics read and write through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelbrin {

// Read-only (rows, cols) matrix with arbitrary byte strides: negative (reversed views),
// zero (broadcast views) and strides that are not a multiple of the element size
// (elements are loaded with memcpy, so misaligned data is read safely).
template <class F>
struct MatrixView {
    const char* origin = nullptr;  // address of element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // in bytes
    std::ptrdiff_t col_stride = 0;  // in bytes

    F operator()(std::size_t r, std::size_t c) const {
        F v;
        std::memcpy(&v,
                    origin + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof(F));
        return v;
    }

    // True when row r is T contiguous, aligned elements (fast paths may read it directly).
    bool row_contiguous() const {
        return col_stride == static_cast<std::ptrdiff_t>(sizeof(F)) &&
               reinterpret_cast<std::uintptr_t>(origin) % alignof(F) == 0 &&
               row_stride % static_cast<std::ptrdiff_t>(sizeof(F)) == 0;
    }
    const F* row_ptr(std::size_t r) const {
        return reinterpret_cast<const F*>(origin + static_cast<std::ptrdiff_t>(r) * row_stride);
    }

    // A view of a contiguous row-major block.
    static MatrixView row_major(const F* data, std::size_t rows, std::size_t cols) {
        return MatrixView{reinterpret_cast<const char*>(data), rows, cols,
                          static_cast<std::ptrdiff_t>(cols * sizeof(F)),
                          static_cast<std::ptrdiff_t>(sizeof(F))};
    }
};

// A one-series view of row s.
template <class F>
MatrixView<F> row_view(const MatrixView<F>& m, std::size_t s) {
    MatrixView<F> v = m;
    v.origin = m.origin + static_cast<std::ptrdiff_t>(s) * m.row_stride;
    v.rows = 1;
    return v;
}

// Writable contiguous row-major (rows, cols) block: outputs and work matrices.
template <class F>
struct RowMajor {
    F* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;

    F* row(std::size_t r) const { return data + r * cols; }
    F& operator()(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
    MatrixView<F> view() const { return MatrixView<F>::row_major(data, rows, cols); }
};

}  // namespace quelbrin
