#include "mra/core/report/tables.hpp"

namespace velora::core {

const TextTable& category_description() {
    static const TextTable table{
        {"GREEN",
         "A Green rating signifies a low-risk profile and strong model stability across this risk "
         "dimension."},
        {"RED",
         "A Red rating reflects a high-risk profile, which may indicate model vulnerability/weaknesses or "
         "potential stability concerns for this risk dimension."},
        {"ORANGE",
         "A Orange rating indicates a moderate level of risk, suggesting that while the model remains "
         "stable, certain risk factors related to this risk dimension should be monitored."},
    };
    return table;
}

const TextTable& risks_description() {
    static const TextTable table{
        {"toxic-output",
         "Toxic output occurs when the model produces hateful, abusive, and profane (HAP) or obscene "
         "content. This also includes behaviors like bullying."},
        {"harmful-output",
         "A model might generate language that leads to physical harm The language might include overtly "
         "violent, covertly dangerous, or otherwise indirectly unsafe statements."},
        {"prompt-leaking",
         "A prompt leak attack attempts to extract a model's system prompt (also known as the system "
         "message)."},
        {"hallucination",
         "Hallucinations generate factually inaccurate or untruthful content with respect to the model "
         "training data or input.This is also sometimes referred to lack of faithfulness or lack of "
         "groundedness."},
        {"prompt-injection",
         "A prompt injection attack forces a generative model that takes a prompt as input to produce "
         "unexpected output by manipulating the structure, instructions, or information contained in its "
         "prompt."},
        {"jailbreaking",
         "A jailbreaking attack attempts to break through the guardrails that are established in the model "
         "to perform restricted actions."},
        {"output-bias", "Generated content might unfairly represent certain groups or individuals."},
        {"harmful-code-generation",
         "Models might generate code that causes harm or unintentionally affects other systems."},
    };
    return table;
}

const TextTable& metric_card_name_translation() {
    static const TextTable table{
        {"cards.harmful_code.frr.frr_cse_benchmark", "False Refusal Rate (FRR) CSE Benchmark"},
        {"cards.harmful_code.mitre.mitre_cse_benchmark", "Harmful Code - MITRE Risks"},
        {"cards.value_alignment.hallucinations.truthfulqa", "Truthful QA Benchmark"},
        {"cards.jailbreak_risk.jailbreak_risk_llm_judge", "Jailbreak Risk LLM Judge"},
        {"cards.jailbreak_risk.jailbreak_risk", "Jailbreak Benchmark"},
        {"cards.safety.bbq.Age", "Bias Benchmark for QA - Age"},
        {"cards.safety.bbq.Disability_status", "Bias Benchmark for QA - Disability status"},
        {"cards.safety.bbq.Gender_identity", "Bias Benchmark for QA - Gender Identity"},
        {"cards.safety.bbq.Nationality", "Bias Benchmark for QA - Nationality"},
        {"cards.safety.bbq.Physical_appearance", "Bias Benchmark for QA - Phyiscal Appearance"},
        {"cards.safety.bbq.Race_ethnicity", "Bias Benchmark for QA - Race/Ethnicity"},
        {"cards.safety.bbq.Race_x_SES", "Bias Benchmark for QA - Race and Socioeconomic status"},
        {"cards.safety.bbq.Race_x_gender", "Bias Benchmark for QA - Race and Gender Identity"},
        {"cards.safety.bbq.Religion", "Bias Benchmark for QA - Religion"},
        {"cards.safety.bbq.SES", "Bias Benchmark for QA - Socioeconomic Status"},
        {"cards.safety.bbq.Sexual_orientation", "Bias Benchmark for QA - Sexual Orientation"},
        {"cards.value_alignment.toxic_output.vexset", "The Vexset Dataset"},
        {"cards.value_alignment.toxic_output.social_stigma_cot", "Social Stigma Benchmark"},
        {"cards.prompt_leakage.glue_qnli", "Prompt Leakage Benchmark (QNLI)"},
        {"cards.prompt_leakage.rag_dataset", "Prompt Leakage Benchmark (RAG)"},
        {"cards.safety.simple_safety_tests", "Simple Safety Benchmark"},
        {"cards.jailbreak_risk.prompt_injection_risk_cse_benchmark", "Prompt Injection CSE Benchmark"},
        {"cards.safety.discrim_eval.explicit", "Discrim-Eval Explicit"},
        {"cards.safety.discrim_eval.implicit", "Discrim-Eval Implicit"},
        {"cards.data_leakage_synth.synth_sentence", "Data leakage (SYNTH)"},
        {"cards.data_leakage_rag.rag_dataset_12000", "Data leakage (RAG)"},
    };
    return table;
}

// Neutral, factual paragraphs on public foundation models, written for the report's cover page.
const TextTable& fm_description_dict() {
    static const TextTable table{
        {"meta-llama/llama-3-1-8b-instruct",
         "Llama 3.1 8B Instruct is an instruction-tuned language model with about 8 billion parameters, "
         "released by Meta in July 2024 as the smallest member of the Llama 3.1 family. It is a decoder-"
         "only transformer with grouped-query attention and a context window of 128,000 tokens. The base "
         "model was pretrained on roughly 15 trillion tokens of publicly available data, and the instruct "
         "version was aligned with supervised fine-tuning and reinforcement learning from human feedback. "
         "It is intended for assistant-style dialogue in English, German, French, Italian, Portuguese, "
         "Hindi, Spanish and Thai, and it is distributed under the Llama 3.1 Community License, which "
         "permits commercial use subject to its terms."},
        {"meta-llama/llama-3-1-70b-instruct",
         "Llama 3.1 70B Instruct is the 70-billion-parameter instruction-tuned model of Meta's Llama 3.1 "
         "family, released in July 2024. It shares the architecture of its smaller sibling, a decoder-only"
         " transformer with grouped-query attention, and supports a context window of 128,000 tokens. "
         "Pretraining used roughly 15 trillion tokens of publicly available data; the instruct version was"
         " tuned with supervised fine-tuning and reinforcement learning from human feedback and supports "
         "tool use. Meta lists eight supported languages: English, German, French, Italian, Portuguese, "
         "Hindi, Spanish and Thai. The weights are published under the Llama 3.1 Community License."},
        {"meta-llama/llama-3-3-70b-instruct",
         "Llama 3.3 70B Instruct is a text-only, instruction-tuned model with 70 billion parameters that "
         "Meta released in December 2024. It keeps the Llama 3.1 architecture and 128,000-token context "
         "window while applying newer post-training techniques, and Meta reports results on many text "
         "benchmarks close to those of its much larger Llama 3.1 405B model. Like the rest of the family "
         "it is a decoder-only transformer with grouped-query attention, pretrained on about 15 trillion "
         "tokens of public data and aligned with supervised fine-tuning and reinforcement learning from "
         "human feedback. It supports the same eight languages and is distributed under the Llama 3.3 "
         "Community License."},
        {"mistralai/mistral-7b-instruct-v0-3",
         "Mistral 7B Instruct v0.3 is an instruction-tuned version of Mistral AI's 7.3-billion-parameter "
         "Mistral 7B model, published in May 2024. Compared with earlier releases it extends the "
         "vocabulary to 32,768 tokens, uses a newer tokenizer version and supports function calling. The "
         "underlying model is a decoder-only transformer that uses grouped-query attention for faster "
         "inference, and version 0.3 works with a context of 32,768 tokens. The weights are released under"
         " the Apache 2.0 license. Mistral AI describes the instruct model as a demonstration of fine-"
         "tuning that has no built-in moderation mechanism, which makes it a useful reference point for "
         "safety testing."},
        {"mistralai/mixtral-8x7b-instruct-v0-1",
         "Mixtral 8x7B Instruct v0.1 is a sparse mixture-of-experts language model released by Mistral AI "
         "in December 2023. Each layer holds eight feed-forward experts and a router sends every token to "
         "two of them, so the model has about 46.7 billion parameters in total but uses only about 12.9 "
         "billion for each token. It handles a context of 32,768 tokens and was trained on multilingual "
         "web data, with English, French, Italian, German and Spanish among its stated languages. The "
         "instruct version was tuned with supervised fine-tuning and direct preference optimisation. The "
         "weights are published under the Apache 2.0 license."},
        {"mistralai/mistral-nemo-instruct-2407",
         "Mistral NeMo Instruct 2407 is a 12-billion-parameter instruction-tuned model that Mistral AI "
         "built together with NVIDIA and released in July 2024. It offers a context window of up to "
         "128,000 tokens and uses Tekken, a tokenizer that compresses source code and many natural "
         "languages more efficiently than the tokenizer of earlier Mistral models. The model was trained "
         "with quantisation awareness, so that it can run in FP8 precision without a loss of quality, and "
         "it is meant as a drop-in replacement for systems built on Mistral 7B. It was trained for "
         "multilingual use and function calling and is distributed under the Apache 2.0 license."},
        {"google/gemma-2-9b-it",
         "Gemma 2 9B IT is the instruction-tuned 9-billion-parameter model of Google's Gemma 2 family of "
         "open models, released in June 2024. It is a decoder-only transformer that alternates local "
         "sliding-window and global attention layers, applies soft-capping to its logits and handles a "
         "context of 8,192 tokens. The base model was trained on about 8 trillion tokens of mainly English"
         " web documents, code and mathematics, with knowledge distillation from a larger teacher model; "
         "the instruction-tuned version adds supervised fine-tuning and reinforcement learning from human "
         "feedback. The weights are available under the Gemma terms of use."},
        {"google/gemma-2-27b-it",
         "Gemma 2 27B IT is the largest instruction-tuned model of Google's Gemma 2 family, released in "
         "June 2024 with 27 billion parameters. It shares the family's architecture, a decoder-only "
         "transformer with interleaved local and global attention, logit soft-capping and grouped-query "
         "attention, and a context window of 8,192 tokens. The base model was trained from scratch on "
         "about 13 trillion tokens of mainly English web text, code and mathematics, and the instruction-"
         "tuned version was aligned with supervised fine-tuning and reinforcement learning from human "
         "feedback. Google positions it as a model whose inference fits on a single accelerator, and it is"
         " released under the Gemma terms of use."},
        {"google/flan-t5-xxl",
         "FLAN-T5 XXL is an 11-billion-parameter encoder-decoder model published by Google in 2022. It "
         "starts from the T5 v1.1 checkpoint and is instruction-fine-tuned on the Flan collection, a "
         "mixture of more than 1,800 tasks phrased as natural-language instructions, some of them with "
         "chain-of-thought answers. This fine-tuning improves zero-shot and few-shot results over the "
         "original T5 on many benchmarks. As an encoder-decoder model it reads the whole prompt before it "
         "generates, and it is best suited to short answers such as classification, extraction and "
         "question answering rather than long dialogue. The weights are published under the Apache 2.0 "
         "license."},
        {"microsoft/phi-3-mini-4k-instruct",
         "Phi-3 Mini 4K Instruct is a 3.8-billion-parameter language model released by Microsoft in April "
         "2024 as the smallest member of the Phi-3 family. It is a dense decoder-only transformer with a "
         "context of 4,096 tokens, trained on 3.3 trillion tokens of heavily filtered public web data and "
         "synthetic, textbook-like data meant to teach reasoning. After pretraining it was aligned with "
         "supervised fine-tuning and direct preference optimisation for instruction following and safety. "
         "Its small size lets it run on modest hardware, including some mobile devices, at the cost of "
         "less stored factual knowledge than larger models. It is published under the MIT license."},
        {"qwen/qwen2-5-7b-instruct",
         "Qwen2.5 7B Instruct is an instruction-tuned model with about 7.6 billion parameters from the "
         "Qwen team at Alibaba Cloud, released in September 2024. It is a decoder-only transformer with "
         "grouped-query attention, rotary position embeddings and SwiGLU activations. The Qwen2.5 models "
         "were pretrained on up to 18 trillion tokens, and the 7B instruct model handles contexts of up to"
         " 128,000 tokens with YaRN scaling and generates up to 8,192 tokens. The team reports gains in "
         "coding, mathematics and structured output such as JSON over the previous generation, and support"
         " for more than 29 languages. The weights are distributed under the Apache 2.0 license."},
        {"tiiuae/falcon-40b-instruct",
         "Falcon 40B Instruct is a 40-billion-parameter causal decoder model from the Technology "
         "Innovation Institute in Abu Dhabi, released in May 2023. Its base model, Falcon 40B, was trained"
         " on one trillion tokens of RefinedWeb, a filtered and deduplicated web corpus, enhanced with "
         "curated sources, and it uses multi-query attention and FlashAttention for efficient inference. "
         "The instruct version was fine-tuned on a mixture of chat and instruction data, mainly from the "
         "Baize collection. It was trained mostly on English, German, Spanish and French text and works "
         "with a context of 2,048 tokens. The model is released under the Apache 2.0 license."},
        {"bigscience/bloomz-7b1",
         "BLOOMZ 7B1 is a 7.1-billion-parameter multilingual model released by the BigScience research "
         "workshop in 2022. It is the BLOOM 7B1 model, pretrained on the ROOTS corpus that covers 46 "
         "natural languages and 13 programming languages, further fine-tuned on xP3, a crosslingual "
         "mixture of tasks and prompts in dozens of languages. This multitask fine-tuning lets the model "
         "follow instructions zero-shot in the languages it saw during pretraining and carry them over to "
         "tasks it was not trained on. It responds best to prompts that make clear where the input ends. "
         "The weights are released under the BigScience RAIL license, which forbids certain harmful uses."},
    };
    return table;
}

const std::vector<std::string_view>& corps_data_models() {
    static const std::vector<std::string_view> models{
        "meta-llama/llama-3-1-8b-instruct",
        "meta-llama/llama-3-3-70b-instruct",
        "mistralai/mistral-7b-instruct-v0-3",
        "mistralai/mixtral-8x7b-instruct-v0-1",
        "google/gemma-2-9b-it",
        "google/gemma-2-27b-it",
        "microsoft/phi-3-mini-4k-instruct",
        "qwen/qwen2-5-7b-instruct",
        "tiiuae/falcon-40b-instruct",
    };
    return models;
}

const std::string_view* table_lookup(const TextTable& table, std::string_view key) {
    for (const auto& [k, v] : table) {
        if (k == key) return &v;
    }
    return nullptr;
}

}  // namespace velora::core
