// KLU behind a small owner: the symbolic analysis of one pattern is kept and
// reused, a numeric factorisation lives only inside one solve.
#pragma once
#include <klu.h>

#include <cstdint>
#include <vector>

namespace factorist {

static_assert(sizeof(int) == sizeof(int32_t), "the int KLU interface must be 32-bit");

// KLU's Common->status in words, for the exception a caller raises.
const char* klu_status_text(int status) noexcept;

class KluSolver {
 public:
  KluSolver() noexcept { klu_defaults(&common_); }
  ~KluSolver() { release(); }
  KluSolver(const KluSolver&) = delete;
  KluSolver& operator=(const KluSolver&) = delete;

  // Analyses a pattern already checked for KLU's rules (n > 0, column pointers
  // from 0 and non-decreasing, rows in range). The solver keeps its own copy,
  // so the caller's arrays may change afterwards without harm. On failure the
  // analysis held so far stays in place. Returns KLU's status.
  int analyze(int n, std::vector<int> col_ptr, std::vector<int> row_idx);

  // Factors `values` (nnz entries in pattern order) and overwrites `rhs`
  // (n entries) with the solution; `rhs` is untouched unless KLU_OK is returned.
  int factor_solve(const double* values, double* rhs);

  // Drops the analysis; solving is then a no-op for the caller to decide.
  void release() noexcept;

  bool ready() const noexcept { return symbolic_ != nullptr; }
  const int* col_ptr() const noexcept { return col_ptr_.data(); }
  const int* row_idx() const noexcept { return row_idx_.data(); }

 private:
  klu_symbolic* symbolic_ = nullptr;
  klu_common common_;
  int n_ = 0;
  std::vector<int> col_ptr_, row_idx_;
};

}  // namespace factorist
