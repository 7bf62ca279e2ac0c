// The per-series IRLS loop: weighted solve, residual scale, new robust weights, repeated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/band.hpp"
#include "core/kernels/batch.hpp"
#include "robust/weights.hpp"
#include "support/function_ref.hpp"
#include "support/matrix.hpp"
#include "support/views.hpp"

namespace quelbrin::robust {

// Everything one IRLS step reads besides its own rows; shared read-only by all series.
template <class F>
struct IrlsInputs {
    MatrixView<F> y;  // (S, T) observations, any strides; non-finite = missing
    // (S, T) base weights; absent: 1 for every observation.
    std::optional<MatrixView<F>> base_weights;
    // Set when the base weights are the caller's own: the base weight of a non-finite
    // observation is then 0, whatever was given there (the driver's rule), formed on the fly.
    bool zero_missing = false;
    const core::PenaltyBand<F>* band = nullptr;
    F lam = F(0);
    F ridge = F(0);
    F eps = F(0);
    Weighting weighting = Weighting::tukey;
    TuningConstants<F> constants;
    std::string_view scale_name;
    // float64: where the series go whose solve, at any step, cannot be handed out (not
    // trusted, or not refinable; core/refine.hpp), or null.
    core::FailedRows* failures = nullptr;
};

// The smoothed values and the total weights of the last solve of every series.
template <class F>
struct IrlsResult {
    Matrix<F> z;
    Matrix<F> wt;
};

// One step for series s: writes z_row and wt_row, reads and rewrites wr_row (each T long).
template <class F>
void irls_step(const IrlsInputs<F>& in, std::size_t s, std::span<F> z_row, std::span<F> wr_row,
               std::span<F> wt_row);

// The last solves checked for accuracy (float32): where a series' last step is the call's
// last (the usual case), that step's solve runs on `solver` (one holding a float64 system,
// core/kernels/batch.hpp) and the verdict is written to `verdict[s]`: kAccepted, or
// kRejected.  A series whose robust weights repeated and that stopped earlier keeps
// kUnchecked.  The numbers of a series that is not rejected are those of the plain solve.
template <class F>
struct LastSolveCheck {
    static constexpr std::uint8_t kAccepted = 0, kRejected = 1, kUnchecked = 2;
    const core::kernels::BatchSolver<F>* solver = nullptr;
    std::uint8_t* verdict = nullptr;  // S entries, set to kUnchecked by the caller
};

// Called by the thread that finished series s0 .. s1-1 (their final rows are written and
// still warm in its caches); calls for different ranges may run at once.
using FinishedSeries = FunctionRef<void(std::size_t s0, std::size_t s1)>;

// Runs `iterations` steps for every series.  Preconditions (the driver's): y and base
// weights share the shape (S, T), the band was built on T positions, T >= 2.
// iterations = 0 gives all-zero z and wt.
template <class F>
IrlsResult<F> run_irls(const IrlsInputs<F>& in, std::uint64_t iterations, bool parallel,
                       std::optional<FinishedSeries> finished = std::nullopt);

// The same into the caller's zero-filled row-major (S, T) z and wt; with wt null the total
// weights are not kept.  Only the rows' final values are written.
template <class F>
void run_irls_into(const IrlsInputs<F>& in, std::uint64_t iterations, bool parallel, RowMajor<F> z,
                   F* wt, std::optional<FinishedSeries> finished = std::nullopt,
                   const LastSolveCheck<F>* last_check = nullptr);

}  // namespace quelbrin::robust
