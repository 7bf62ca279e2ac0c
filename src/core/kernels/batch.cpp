#include "core/kernels/batch.hpp"

#include <xmmintrin.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "support/huge_pages.hpp"
#include "support/panic.hpp"
#include "support/sizes.hpp"

namespace quelbrin::core::kernels {

bool isa_supported(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::baseline:
            return true;
        case Isa::avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

Isa best_isa() {
    static const Isa best = isa_supported(Isa::avx512) ? Isa::avx512
                            : isa_supported(Isa::avx2) ? Isa::avx2
                                                       : Isa::baseline;
    return best;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::baseline:
            return "baseline";
        case Isa::avx2:
            return "avx2";
        case Isa::avx512:
            return "avx512";
    }
    return "?";
}

bool gradual_underflow() {
    constexpr unsigned kFlushToZero = 0x8000;
    constexpr unsigned kDenormalsAreZero = 0x0040;
    return (_mm_getcsr() & (kFlushToZero | kDenormalsAreZero)) == 0;
}

namespace {

template <class F>
KernelSet<F> kernels_for(Isa isa) {
    switch (isa) {
        case Isa::avx2:
            return kernel_set_avx2(F{});
        case Isa::avx512:
            return kernel_set_avx512(F{});
        case Isa::baseline:
            break;
    }
    return kernel_set_baseline(F{});
}

// True when every element of rows first .. last of the band is +0.0 (bit for bit).
template <class F>
bool rows_are_plus_zero(const PenaltyBand<F>& band, std::size_t first, std::size_t last) {
    for (std::size_t j = first; j <= last; ++j) {
        const F* row = band.row(j);
        for (std::size_t i = 0; i < band.T; ++i) {
            F zero = F(0);
            if (std::memcmp(&row[i], &zero, sizeof(F)) != 0) return false;
        }
    }
    return true;
}

// True when no live off-diagonal product pb[p, i] * lam (1 <= p <= dl, as the kernels form
// it) is -0.0: then no partial off-diagonal sum of the factorisation is -0.0.
template <class F>
bool no_negative_zero_products(const PenaltyBand<F>& band, std::size_t dl, F lam) {
    for (std::size_t p = 1; p <= dl; ++p) {
        const F* row = band.row(p);
        for (std::size_t i = p; i < band.T; ++i) {
            const F v = row[i] * lam;
            if (v == F(0) && std::signbit(v)) return false;
        }
    }
    return true;
}

}  // namespace

// The loops may stop at the live bandwidth d < kk only where the skipped factor rows are
// exactly +0.0 for every lane that passes the kernel's guard (see block_kernel.hpp): the
// band rows beyond d must be +0.0, lam finite and > 0 (so lam times those rows is +0.0),
// eps a normal number > 0 or +inf (so every pivot is > 0, even with denormals flushed),
// and no live off-diagonal pb * lam -0.0.  Otherwise the kernels run to kk like the scalar
// routine and need no guard.  The conditions on lam are guard_holds, for the whole solver
// or, with one lam per series, lane by lane.
template <class F>
BatchSolver<F>::BatchSolver(const PenaltyBand<F>& band, LamPerSeries, F ridge, F eps, Isa isa)
    : band_(&band), lam_(F(1)), ridge_(ridge), eps_(eps), per_series_(true) {
    QB_ASSERT(isa_supported(isa), "batch solver: instruction set not supported by this CPU");
    set_ = kernels_for<F>(isa);
    const std::size_t kk = band.stored_k();
    const std::size_t live = band.d < kk ? static_cast<std::size_t>(band.d) : kk;
    const bool skip =
        live < kk && eps >= std::numeric_limits<F>::min() && rows_are_plus_zero(band, live + 1, kk);
    dl_ = skip ? live : kk;
    guarded_ = skip;
    if constexpr (sizeof(F) == 8) {
        if (band.positions.size() == band.T) exact_ = std::make_unique<ExactPenalty>(band);
    }
}

// One lam for every series: the conditions on lam decide for the whole solver.
template <class F>
BatchSolver<F>::BatchSolver(const PenaltyBand<F>& band, F lam, F ridge, F eps, Isa isa,
                            const Float64System* system64)
    : BatchSolver(band, LamPerSeries{}, ridge, eps, isa) {
    QB_ASSERT(!system64 || (sizeof(F) == 4 && system64->band.T == band.T),
              "batch solver: a float64 system belongs to a float32 call on the same grid");
    lam_ = lam;
    per_series_ = false;
    system64_ = system64;
    if (!guard_holds(lam)) {
        dl_ = band.stored_k();
        guarded_ = false;
    }
}

template <class F>
bool BatchSolver<F>::guard_holds(F lam) const {
    return !guarded_ ||
           (std::isfinite(lam) && lam > F(0) && no_negative_zero_products(*band_, dl_, lam));
}

template <class F>
typename BatchSolver<F>::Block BatchSolver<F>::plan(std::size_t remaining) const {
    const std::size_t wide = set_.wide_lanes;
    const std::size_t native = set_.native_lanes;
    const std::size_t dl_index = kernel_index(dl_);
    const std::size_t g = guarded_ ? 1 : 0;
    // A block's work storage grows with its lanes, (2 + dl) * T values each: with a wide
    // band on long series, fewer lanes keep it near what one scalar solve needs.
    constexpr std::size_t kBlockBudget = std::size_t(64) << 20;  // bytes
    const auto fits = [&](std::size_t lanes) {
        const std::size_t per_lane = kBlockBudget / sizeof(F) / lanes;
        return band_->T <= per_lane / (2 + (dl_ < per_lane ? dl_ : per_lane));
    };
    const std::size_t dc = system64_ ? system64_->dc : 0;
    const std::size_t dc_index = kernel_index(dc);
    if (remaining > native && fits(wide)) {
        return {wide, remaining < wide ? remaining : wide, set_.wide[g][dl_index], set_.gather_wide,
                set_.check_wide[dc_index]};
    }
    if (remaining > 1 && fits(native)) {
        return {native, remaining < native ? remaining : native, set_.native[g][dl_index],
                set_.gather_native, set_.check_native[dc_index]};
    }
    return {1, 1, set_.single[g][dl_index], set_.gather_single, set_.check_single[dc_index]};
}

template <class F>
BlockArgs<F> BatchSolver<F>::block_args(std::size_t dl) const {
    BlockArgs<F> args{};
    args.pb = band_->values.data();
    args.T = band_->T;
    args.dl = dl;
    args.lam = lam_;
    args.ridge = ridge_;
    args.eps = eps_;
    return args;
}

template <class F>
BlockArgs<F> BatchSolver<F>::prepare(Scratch& scratch, const Block& block, F* y_row) const {
    const std::size_t T = band_->T;
    const std::size_t column = checked_count<F>(T, block.lanes);
    const std::size_t factor = checked_count<F>(column, dl_);
    constexpr std::size_t align = 64 / sizeof(F);
    const std::size_t kept = system64_ ? 2 * column : 0;  // the inputs, for the check
    const std::size_t need = column + (y_row ? 0 : column) + factor + kept + 3 * align;
    F* const base = static_cast<F*>(scratch.blocks.reserve(checked_count<F>(need, sizeof(F))));
    const std::size_t stage = 2 * block.lanes * kFillTile;
    if (block.lanes > 1 && scratch.stage.size() < stage) scratch.stage.resize(stage);
    auto aligned = [](F* p) {
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        return reinterpret_cast<F*>((a + 63) & ~std::uintptr_t(63));
    };
    BlockArgs<F> args = block_args(dl_);
    args.w = aligned(base);
    args.y = y_row ? y_row : aligned(args.w + column);
    args.L = aligned(y_row ? args.w + column : args.y + column);
    args.count = block.count;
    if (exact_) {
        args.doubtful = &scratch.doubtful;
        args.pivot_share = static_cast<F>(kPivotShare);
        args.run_limit = static_cast<F>(unobserved_run_limit(band_->d));
    }
    return args;
}

void* LargeBuffer::reserve(std::size_t bytes) {
    if (bytes <= size_) return data_;
    release();
    const bool huge = bytes >= 2 * kHugePage;
    const std::size_t size = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
    void* p = nullptr;
    if (posix_memalign(&p, huge ? kHugePage : 64, size) != 0) throw std::bad_alloc();
    advise_huge_pages(p, size);
    data_ = p;
    size_ = size;
    return p;
}

void LargeBuffer::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
}

template <class F>
void BatchSolver<F>::solve_one(Scratch& scratch, F lam, F* out, bool* doubtful) const {
    solve_banded(*band_, scratch.w1.data(), scratch.y1.data(), lam, ridge_, eps_, out,
                 scratch.solve, doubtful);
}

template <class F>
F* BatchSolver<F>::keep_inputs(const Block& block, const BlockArgs<F>& args) const {
    const std::size_t column = band_->T * block.lanes;
    F* const kept = args.L + dl_ * column;
    std::memcpy(kept, args.w, column * sizeof(F));
    std::memcpy(kept + column, args.y, column * sizeof(F));
    return kept;
}

template <class F>
std::uint64_t BatchSolver<F>::check(Scratch& scratch, const Block& block, const BlockArgs<F>& args,
                                    F* kept) const {
    if constexpr (sizeof(F) == 4) {
        const std::size_t column = checked_count<double>(band_->T, block.lanes);
        double* const z64 = static_cast<double*>(
            scratch.check.reserve(checked_count<double>(column, sizeof(double))));
        const CheckArgs c{system64_->A.data(), band_->T,   args.dl, system64_->dc, kept,
                          kept + column,       args.y,     args.w,  args.L,        z64,
                          kFloat32Tolerance,   block.count};
        return block.check(c);
    } else {
        (void)scratch, (void)block, (void)args, (void)kept;
        return 0;
    }
}

// The one-lane kernel run to the stored half-bandwidth performs the scalar routine's
// operations exactly (no guard), and leaves the factor the check needs.
template <class F>
bool BatchSolver<F>::solve_one_checked(Scratch& scratch, F* out) const {
    if constexpr (sizeof(F) == 4) {
        const std::size_t T = band_->T;
        const std::size_t kk = band_->stored_k();
        const std::size_t factor = checked_count<F>(T, kk);
        F* const base = static_cast<F*>(
            scratch.one.reserve(checked_count<F>(checked_count<F>(T, 3) + factor, sizeof(F))));
        F* const w = base;        // weights, then pivots
        F* const kept_w = w + T;  // the inputs, for the check
        F* const kept_y = kept_w + T;
        F* const L = kept_y + T;
        std::memcpy(w, scratch.w1.data(), T * sizeof(F));
        std::memcpy(kept_w, scratch.w1.data(), T * sizeof(F));
        std::memcpy(kept_y, scratch.y1.data(), T * sizeof(F));
        std::memcpy(out, scratch.y1.data(), T * sizeof(F));
        F* rows[1] = {out};
        BlockArgs<F> args = block_args(kk);
        args.w = w;
        args.y = out;
        args.L = L;
        args.out = rows;
        args.count = 1;
        if (set_.single[0][kernel_index(kk)](args) != 0) return false;
        const std::size_t dc = system64_->dc;
        double* const z64 =
            static_cast<double*>(scratch.check.reserve(checked_count<double>(T, sizeof(double))));
        const CheckArgs c{system64_->A.data(), T, kk, dc, kept_w, kept_y, out, w, L, z64,
                          kFloat32Tolerance,   1};
        return set_.check_single[kernel_index(dc)](c) == 0;
    } else {
        (void)scratch, (void)out;
        return true;
    }
}

Float64System::Float64System(PenaltyBand<double> band64, double lam64, double ridge64, double eps64)
    : band(std::move(band64)), lam(lam64), ridge(ridge64), eps(eps64) {
    const std::size_t T = band.T;
    const std::size_t live = static_cast<std::size_t>(
        band.d < band.stored_k() ? band.d : static_cast<std::uint64_t>(band.stored_k()));
    dc = live;
    A.assign(checked_count<double>(dc + 1, T), 0.0);
    for (std::size_t i = 0; i < T; ++i) A[i] = lam * band(0, i) + ridge;
    for (std::size_t p = 1; p <= dc; ++p) {
        for (std::size_t i = p; i < T; ++i) A[p * T + i] = lam * band(p, i);
    }
}

template class BatchSolver<float>;
template class BatchSolver<double>;

}  // namespace quelbrin::core::kernels
