// The two ways the evaluation library fails. CorvexError covers everything the caller got wrong or
// the package holds wrongly (unknown card, bad recipe, corrupt file, mismatched predictions); the
// binding maps it to corvex.error_utils.CorvexError. JudgeUnavailableError is a failed remote step
// (a judged card with no judge to ask) and reaches Python as RuntimeError, which the risk evaluator
// reports as an LLM-judge failure.
#pragma once

#include <stdexcept>
#include <string>

namespace velora::core::corvex {

class CorvexError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class JudgeUnavailableError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace velora::core::corvex
