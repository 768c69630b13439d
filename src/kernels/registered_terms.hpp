#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>

#include "engine/records.hpp"
#include "kernels/loss/huber_loss.hpp"
#include "kernels/penalty/l1_penalty.hpp"
#include "kernels/penalty/no_penalty.hpp"

namespace quillfen {

// A list of loss or penalty types.
template <class... Terms>
struct TermList {
  static constexpr std::size_t size = sizeof...(Terms);
};

// Every loss and every penalty the engine is built for. The kernel table holds one kernel set per
// element type, loss and penalty (kernels/simd/kernel_table.hpp), and the update driver is
// compiled for every loss. A new loss is one type plus an entry in both lists below (the macro
// names it for the driver's explicit instantiations); a new penalty is one type, with the Penalty
// value it answers to, plus an entry in RegisteredPenalties.
using RegisteredLosses = TermList<HuberLoss>;
#define QUILLFEN_FOR_EACH_LOSS(APPLY, ...) APPLY(HuberLoss, __VA_ARGS__)
using RegisteredPenalties = TermList<NoPenalty, L1Penalty>;

// The position of Term in List; a type not in the list does not compile.
template <class Term, class... Terms>
constexpr std::size_t term_index(TermList<Terms...>) {
  constexpr bool found[] = {std::is_same_v<Term, Terms>...};
  for (std::size_t k = 0; k < sizeof...(Terms); ++k) {
    if (found[k]) return k;
  }
  throw "not a registered term";  // in a constant expression: a compile error
}

// The type at position K of List.
template <std::size_t K, class List>
struct TermAtIndex;
template <std::size_t K, class... Terms>
struct TermAtIndex<K, TermList<Terms...>> {
  using type = std::tuple_element_t<K, std::tuple<Terms...>>;
};
template <std::size_t K, class List>
using TermAt = typename TermAtIndex<K, List>::type;

// The macro and RegisteredLosses name the same losses.
#define QUILLFEN_LOSS_IS_LISTED(Loss, ...) \
  static_assert(term_index<Loss>(RegisteredLosses{}) < RegisteredLosses::size);
#define QUILLFEN_COUNT_LOSS(Loss, ...) +1
QUILLFEN_FOR_EACH_LOSS(QUILLFEN_LOSS_IS_LISTED)
static_assert(0 QUILLFEN_FOR_EACH_LOSS(QUILLFEN_COUNT_LOSS) == RegisteredLosses::size);
#undef QUILLFEN_LOSS_IS_LISTED
#undef QUILLFEN_COUNT_LOSS

namespace detail {

template <class Apply, class Otherwise>
auto with_penalty_in(Penalty, Apply&, Otherwise& otherwise, TermList<>) {
  return otherwise();
}

template <class Apply, class Otherwise, class First, class... Rest>
auto with_penalty_in(Penalty kind, Apply& apply, Otherwise& otherwise, TermList<First, Rest...>)
    -> decltype(otherwise()) {
  if (kind == First::kind) return apply.template operator()<First>();
  return with_penalty_in(kind, apply, otherwise, TermList<Rest...>{});
}

}  // namespace detail

// apply.template operator()<P>() for the registered penalty type P whose `kind` is `kind`, or
// otherwise() when none is; both give the same type.
template <class Apply, class Otherwise>
auto with_registered_penalty(Penalty kind, Apply&& apply, Otherwise&& otherwise) {
  return detail::with_penalty_in(kind, apply, otherwise, RegisteredPenalties{});
}

}  // namespace quillfen
