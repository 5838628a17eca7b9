// nimbra-sdk: the inference SDK's completions protocol (common/completions_protocol.hpp), so the
// judge speaks exactly what the SDK speaks: GET {QNR_URL}/v1/models once (the judge model must be
// served), then POST {QNR_URL}/v1/completions with temperature 0, the key as a Bearer token (none
// when empty) and the project in Nimbra-Project-Id.
//   QNR_APIKEY, QNR_URL, QNR_PROJECT_ID (required).
#pragma once

#include "corvex/core/judge/settings.hpp"

namespace velora::core::corvex {

struct NimbraSdkSettings final : ProviderSettings {
    std::string api_key;
    std::string base_url;  // no trailing '/'
    std::string project_id;

    std::vector<std::string> secrets() const override { return non_empty({api_key}); }
    std::vector<std::string> answer_identity() const override { return {base_url, project_id}; }
    std::unique_ptr<JudgeModel> make_judge(const JudgeBasics& basics, JudgeOptions options) const override;
};

JudgeProvider nimbra_sdk_provider();

}  // namespace velora::core::corvex
