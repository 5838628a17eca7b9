// The judge side of corvex._corvex: what evaluate hands the core for an llm_judge card (the
// requests, a judge made from the environment, the "corvex" logger, Ctrl-C), and how a failed judge
// call reaches Python (RuntimeError with its cause chained).
#pragma once

#include <string>
#include <vector>

#include "bindings/common/py_common.hpp"
#include "corvex/core/judge/verdicts.hpp"

namespace velora::bindings::corvex_judge {

// Inputs for scoring with a judge; `requests` must outlive the scoring. Safe to use without the GIL.
core::corvex::JudgeInputs judge_inputs(const std::vector<std::string>* requests);

// The exception translation of judge failures and the signer's test face.
void register_judge(py::module_& m);

}  // namespace velora::bindings::corvex_judge
