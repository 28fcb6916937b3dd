#pragma once

namespace PlinthAgent {

// A visitor made of lambdas, one per alternative of a variant.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang 14).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace PlinthAgent
