// KLU for the time loop: one symbolic analysis per run, a full factorisation
// (with pivoting) when there is none or the last one went bad, numeric
// refactorisation with the kept pivot order otherwise.
#pragma once
#include <klu.h>

#include <cstdint>

namespace transient {

static_assert(sizeof(int) == sizeof(int32_t), "the int KLU interface must be 32-bit");

class Lu {
 public:
  Lu() noexcept { klu_defaults(&common_); }
  ~Lu() {
    if (numeric_) klu_free_numeric(&numeric_, &common_);
    if (symbolic_) klu_free_symbolic(&symbolic_, &common_);
  }
  Lu(const Lu&) = delete;
  Lu& operator=(const Lu&) = delete;

  // The pattern must already satisfy KLU's rules (checked at binding).
  bool analyze(int n, int* col_ptr, int* row_idx) noexcept {
    n_ = n;
    col_ptr_ = col_ptr;
    row_idx_ = row_idx;
    symbolic_ = klu_analyze(n, col_ptr, row_idx, &common_);
    return symbolic_ != nullptr;
  }

  // Factors `values`; false when the matrix is singular (or numerically so).
  bool factor(double* values) noexcept {
    if (numeric_) {
      ++refactorizations;
      if (klu_refactor(col_ptr_, row_idx_, values, symbolic_, numeric_, &common_) &&
          common_.status == KLU_OK && pivots_sound())
        return true;
      // The kept pivot order no longer suits the matrix: pivot afresh.
      klu_free_numeric(&numeric_, &common_);
    }
    ++factorizations;
    numeric_ = klu_factor(col_ptr_, row_idx_, values, symbolic_, &common_);
    if (!numeric_ || common_.status != KLU_OK) {
      if (numeric_) klu_free_numeric(&numeric_, &common_);
      return false;
    }
    klu_rcond(symbolic_, numeric_, &common_);
    return common_.rcond > 0.0;  // false for a zero pivot or NaN
  }

  void solve(double* rhs) noexcept {
    ++solves;
    klu_solve(symbolic_, numeric_, n_, 1, rhs, &common_);
  }

  int64_t factorizations = 0, refactorizations = 0, solves = 0;

 private:
  // KLU's cheap reciprocal condition estimate (smallest over largest pivot):
  // refactoring never re-pivots, so a pivot that shrank must be caught here.
  bool pivots_sound() noexcept {
    klu_rcond(symbolic_, numeric_, &common_);
    return common_.rcond > 1e-14;
  }

  klu_common common_;
  klu_symbolic* symbolic_ = nullptr;
  klu_numeric* numeric_ = nullptr;
  int n_ = 0;
  int* col_ptr_ = nullptr;
  int* row_idx_ = nullptr;
};

}  // namespace transient
