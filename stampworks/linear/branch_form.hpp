// The constructor arguments of every element with a branch-current unknown
// of its own: two terminals, the unknown q and the element index.
#pragma once
#include "stampworks/linear/binding.hpp"

#include <cstddef>

namespace stampworks {

template <class M>
struct BranchIndices {
  static constexpr IndexField indices[] = {
      {"i", offsetof(M, i), Role::terminal},
      {"j", offsetof(M, j), Role::terminal},
      {"q", offsetof(M, q), Role::branch},
      {"eindex", offsetof(M, eindex), Role::element}};
};

}  // namespace stampworks
