#include "lu.hpp"

#include <algorithm>
#include <new>

namespace transient {

Lu::~Lu() {
  if (numeric_) klu_free_numeric(&numeric_, &common_);
  if (symbolic_) klu_free_symbolic(&symbolic_, &common_);
}

bool Lu::analyze(int n, int* col_ptr, int* row_idx) noexcept {
  n_ = n;
  col_ptr_ = col_ptr;
  row_idx_ = row_idx;
  symbolic_ = klu_analyze(n, col_ptr, row_idx, &common_);
  return symbolic_ != nullptr;
}

bool Lu::factor(double* values) noexcept {
  own_ = false;
  if (numeric_) {
    ++refactorizations;
    if (klu_refactor(col_ptr_, row_idx_, values, symbolic_, numeric_, &common_) && common_.status == KLU_OK &&
        pivots_sound()) {
      own_ = unpack();
      return true;
    }
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
  if (!(common_.rcond > 0.0)) return false;  // a zero pivot or NaN
  own_ = unpack();
  return true;
}

// KLU's cheap reciprocal condition estimate (smallest over largest pivot):
// refactoring never re-pivots, so a pivot that shrank must be caught here.
bool Lu::pivots_sound() noexcept {
  klu_rcond(symbolic_, numeric_, &common_);
  return common_.rcond > 1e-14;
}

// Sizes change only with a fresh pivot order, so refactoring allocates
// nothing; should an allocation fail, the solves stay with KLU.
bool Lu::unpack() noexcept {
  try {
    const size_t n = static_cast<size_t>(n_);
    Extracted& e = ex_;
    for (auto* v : {&e.lp, &e.up, &e.fp}) v->resize(n + 1);
    e.li.resize(numeric_->lnz);
    e.lx.resize(numeric_->lnz);
    e.ui.resize(numeric_->unz);
    e.ux.resize(numeric_->unz);
    e.fi.resize(numeric_->nzoff);
    e.fx.resize(numeric_->nzoff);
    e.p.resize(n);
    e.q.resize(n);
    e.rs.resize(n);
    e.r.resize(static_cast<size_t>(symbolic_->nblocks) + 1);
    if (!klu_extract(numeric_, symbolic_, e.lp.data(), e.li.data(), e.lx.data(), e.up.data(), e.ui.data(),
                     e.ux.data(), e.fp.data(), e.fi.data(), e.fx.data(), e.p.data(), e.q.data(), e.rs.data(),
                     e.r.data(), &common_))
      return false;
    unpack_rows();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void Lu::unpack_rows() {
  const int n = n_;
  const Extracted& e = ex_;
  scale_.resize(n);
  for (int k = 0; k < n; ++k) scale_[k] = 1.0 / e.rs[k];  // already in pivot order
  x_.resize(n);
  inv_.resize(n);
  for (Rows* rows : {&l_, &u_}) {
    rows->near.assign(n, 0.0);
    rows->ptr.assign(n + 1, 0);
  }
  // Rows from columns: count, then place (the columns' order keeps each
  // row's entries in column order).  Column k is row k+1's neighbour in L,
  // row k−1's in U.
  for (int k = 0; k < n; ++k) {
    for (int p = e.lp[k]; p < e.lp[k + 1]; ++p)
      if (e.li[p] > k + 1) ++l_.ptr[e.li[p] + 1];
    for (int p = e.fp[k]; p < e.fp[k + 1]; ++p) ++l_.ptr[e.fi[p] + 1];
    for (int p = e.up[k]; p < e.up[k + 1]; ++p)
      if (e.ui[p] < k - 1) ++u_.ptr[e.ui[p] + 1];
  }
  for (Rows* rows : {&l_, &u_}) {
    for (int k = 0; k < n; ++k) rows->ptr[k + 1] += rows->ptr[k];
    rows->col.resize(rows->ptr[n]);
    rows->val.resize(rows->ptr[n]);
  }
  std::vector<int>& fill_l = l_.fill;
  std::vector<int>& fill_u = u_.fill;
  fill_l.assign(l_.ptr.begin(), l_.ptr.end() - 1);
  fill_u.assign(u_.ptr.begin(), u_.ptr.end() - 1);
  for (int k = 0; k < n; ++k) {
    for (int p = e.lp[k]; p < e.lp[k + 1]; ++p) {
      const int i = e.li[p];
      if (i <= k) continue;  // the unit diagonal
      if (i == k + 1) {
        l_.near[i] = e.lx[p];
      } else {
        l_.col[fill_l[i]] = k;
        l_.val[fill_l[i]++] = e.lx[p];
      }
    }
    for (int p = e.fp[k]; p < e.fp[k + 1]; ++p) {
      const int i = e.fi[p];
      l_.col[fill_l[i]] = k;
      l_.val[fill_l[i]++] = e.fx[p];
    }
    // Column k of U: its pivot is in it, and rows i < k have theirs already.
    for (int p = e.up[k]; p < e.up[k + 1]; ++p)
      if (e.ui[p] == k) inv_[k] = 1.0 / e.ux[p];
    for (int p = e.up[k]; p < e.up[k + 1]; ++p) {
      const int i = e.ui[p];
      if (i == k) continue;
      const double v = e.ux[p] * inv_[i];
      if (i == k - 1) {
        u_.near[i] = v;
      } else {
        u_.col[fill_u[i]] = k;
        u_.val[fill_u[i]++] = v;
      }
    }
  }
}

void Lu::solve(double* rhs) noexcept {
  if (!own_) return library_solve(rhs);
  ++solves;
  const int n = n_;
  double* __restrict x = x_.data();
  const int* __restrict perm = ex_.p.data();
  const double* __restrict scale = scale_.data();
  for (int k = 0; k < n; ++k) x[k] = rhs[perm[k]] * scale[k];
  const double *__restrict lnear = l_.near.data(), *__restrict lval = l_.val.data();
  const double *__restrict unear = u_.near.data(), *__restrict uval = u_.val.data(), *__restrict inv = inv_.data();
  const int *__restrict lptr = l_.ptr.data(), *__restrict lcol = l_.col.data();
  const int *__restrict uptr = u_.ptr.data(), *__restrict ucol = u_.col.data();
  // The neighbour's value rides in a register from one row to the next: no
  // store-to-load wait on the chain.  A block's first row has no neighbour
  // entry (near is 0), so the carried 0 adds nothing.
  const int* blocks = ex_.r.data();
  for (int b = static_cast<int>(ex_.r.size()) - 2; b >= 0; --b) {
    const int k1 = blocks[b], k2 = blocks[b + 1];
    double carried = 0.0;
    for (int k = k1; k < k2; ++k) {
      double sum = x[k];
      for (int p = lptr[k]; p < lptr[k + 1]; ++p) sum -= lval[p] * x[lcol[p]];
      sum -= lnear[k] * carried;
      x[k] = carried = sum;
    }
    carried = 0.0;
    for (int k = k2 - 1; k >= k1; --k) {
      double sum = x[k] * inv[k];
      for (int p = uptr[k]; p < uptr[k + 1]; ++p) sum -= uval[p] * x[ucol[p]];
      sum -= unear[k] * carried;
      x[k] = carried = sum;
    }
  }
  const int* __restrict unperm = ex_.q.data();
  for (int k = 0; k < n; ++k) rhs[unperm[k]] = x[k];
}

void Lu::library_solve(double* rhs) noexcept {
  ++solves;
  klu_solve(symbolic_, numeric_, n_, 1, rhs, &common_);
}

}  // namespace transient
