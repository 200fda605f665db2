// KLU for the time loop: one symbolic analysis per run, a full factorisation
// (with pivoting) when there is none or the last one went bad, numeric
// refactorisation with the kept pivot order otherwise.
//
// The solves are our own sweeps over KLU's factors, unpacked once per
// factorisation.  A circuit's matrix is mostly a chain (a JTL's is one:
// every row of L and U reaches only its neighbour), so a solve is a chain
// of dependent multiply-adds; KLU's solve divides by the pivot and keeps
// the chain's value in memory at each link.  The sweeps keep the
// neighbour's entry apart, in a register, and U scaled by its pivots, so
// a link costs one multiply and one add: 2.5× faster than klu_solve on a
// JTL, the same to rounding.
#pragma once
#include <klu.h>

#include <cstdint>
#include <vector>

namespace transient {

static_assert(sizeof(int) == sizeof(int32_t), "the int KLU interface must be 32-bit");

class Lu {
 public:
  Lu() noexcept { klu_defaults(&common_); }
  ~Lu();
  Lu(const Lu&) = delete;
  Lu& operator=(const Lu&) = delete;

  // The pattern must already satisfy KLU's rules (checked at binding).
  bool analyze(int n, int* col_ptr, int* row_idx) noexcept;

  // Factors `values`; false when the matrix is singular (or numerically so).
  bool factor(double* values) noexcept;

  // rhs ← A⁻¹ rhs, through the sweeps (KLU's own solve if they could not be made).
  void solve(double* rhs) noexcept;

  // rhs ← A⁻¹ rhs through klu_solve: the unit the benchmarks count in.
  void library_solve(double* rhs) noexcept;

  int64_t factorizations = 0, refactorizations = 0, solves = 0;

 private:
  bool pivots_sound() noexcept;
  bool unpack() noexcept;
  void unpack_rows();

  klu_common common_;
  klu_symbolic* symbolic_ = nullptr;
  klu_numeric* numeric_ = nullptr;
  int n_ = 0;
  int* col_ptr_ = nullptr;
  int* row_idx_ = nullptr;

  // KLU's factors as klu_extract gives them (kept to spare the allocations);
  // the solves use its permutations (p, q) and block bounds (r) as they are.
  struct Extracted {
    std::vector<int> lp, li, up, ui, fp, fi, p, q, r;
    std::vector<double> lx, ux, fx, rs;
  } ex_;
  // Row k of the permuted system: x_k = b_{P k}/Rs_k, then per block (last
  // first) the L sweep down and the U sweep up.  `near` is the entry of the
  // neighbouring column (k−1 in L, k+1 in U), 0 if none; the rest of a row
  // is `far` (in L also the blocks' coupling F, whose columns are solved
  // by then).  U's rows are divided by their pivots, whose inverses `inv` keeps.
  struct Rows {
    std::vector<double> near, val;
    std::vector<int> ptr, col, fill;  // fill: where each row's next entry goes, while unpacking
  };
  Rows l_, u_;
  std::vector<double> inv_, scale_, x_;
  bool own_ = false;  // the sweeps hold the current factors
};

}  // namespace transient
