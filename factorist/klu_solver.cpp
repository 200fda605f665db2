#include "factorist/klu_solver.hpp"

#include <utility>

namespace factorist {

const char* klu_status_text(int status) noexcept {
  switch (status) {
    case KLU_OK: return "no error";
    case KLU_SINGULAR: return "matrix is singular";
    case KLU_OUT_OF_MEMORY: return "out of memory";
    case KLU_INVALID: return "invalid input";
    case KLU_TOO_LARGE: return "problem too large for 32-bit indices";
    default: return "unknown KLU status";
  }
}

int KluSolver::analyze(int n, std::vector<int> col_ptr, std::vector<int> row_idx) {
  klu_symbolic* fresh = klu_analyze(n, col_ptr.data(), row_idx.data(), &common_);
  if (!fresh) return common_.status != KLU_OK ? common_.status : KLU_INVALID;
  release();
  symbolic_ = fresh;
  n_ = n;
  col_ptr_ = std::move(col_ptr);
  row_idx_ = std::move(row_idx);
  return KLU_OK;
}

int KluSolver::factor_solve(const double* values, double* rhs) {
  // KLU's prototypes are not const-correct; it only reads the pattern and values.
  klu_numeric* numeric = klu_factor(col_ptr_.data(), row_idx_.data(), const_cast<double*>(values),
                                    symbolic_, &common_);
  // Stopping at a singular pivot is KLU's default; a partial factorisation
  // must not reach klu_solve.
  int status = numeric ? common_.status : (common_.status != KLU_OK ? common_.status : KLU_INVALID);
  if (numeric && status == KLU_OK) {
    klu_solve(symbolic_, numeric, n_, 1, rhs, &common_);
    status = common_.status;
  }
  if (numeric) klu_free_numeric(&numeric, &common_);
  return status;
}

void KluSolver::release() noexcept {
  if (symbolic_) klu_free_symbolic(&symbolic_, &common_);
  symbolic_ = nullptr;
}

}  // namespace factorist
