// The table of judge providers. A provider is one unit in this folder (its settings, its request,
// its answer); adding one is its unit and a line here.
#include "corvex/core/judge/providers/aws.hpp"
#include "corvex/core/judge/providers/azure.hpp"
#include "corvex/core/judge/providers/nimbra_sdk.hpp"
#include "corvex/core/judge/providers/replicate.hpp"
#include "corvex/core/judge/providers/together_ai.hpp"

namespace velora::core::corvex {

const std::vector<JudgeProvider>& judge_providers() {
    // The order in which messages list them.
    static const std::vector<JudgeProvider> table{aws_provider(), together_ai_provider(),
                                                  replicate_provider(), azure_provider(),
                                                  nimbra_sdk_provider()};
    return table;
}

}  // namespace velora::core::corvex
