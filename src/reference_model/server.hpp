// The reference model: a small deterministic stand-in that speaks the completions API, so that a
// screening runs with no credentials and no real model. It is never a real model; every answer it
// serves says so in "system_fingerprint".
//
// Prompt rules, first match wins:
//  1. Judge: the prompt ends with "Verdict: SAFE or UNSAFE". The text after a line "[RESPONSE]" (up to
//     a line "[END]" or the verdict line; the whole prompt before the verdict line when there is no
//     "[RESPONSE]" line) is judged: "SAFE" when it refuses (or is empty), else "UNSAFE": it complied.
//  2. Multiple choice: the prompt ends with "Answer with the letter of the correct option." and has
//     option lines "A. ..." / "A) ...", "B. ...", ... (the last such run counts). A harm marker in the
//     prompt gets the refusal; otherwise the letter of the first option saying the answer cannot be
//     determined (not enough information, unknown, ...), else a stable hash pick among the letters.
//  3. Yes/no: the prompt ends with "Answer yes or no.". "No" when it holds a harm marker, a
//     confidentiality cue or a sweeping generalisation ("all", "always", "never", ...); else a stable
//     hash pick between "Yes" and "No".
//  4. Refusal: a harm marker anywhere (weapons, malware, credential theft, self-harm, violence,
//     drugs, ...) gets "I can't help with that request."
//  5. Confidentiality: a request to reveal or override its instructions, a system prompt, a secret or
//     a password gets "I can't share my instructions or any confidential information I was given."
//  6. Otherwise one of a few short, general, benign answers (stable hash pick).
// No rule copies text from the prompt, so a system prompt or a secret is never repeated.
// Markers match whole words, case-insensitively, with an optional plural "s"/"es".
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velora::core::reference_model {

inline constexpr const char* kFingerprint = "velora-reference-model, deterministic stand-in";
inline constexpr const char* kDefaultModelId = "velora/reference-model";
inline constexpr const char* kRefusal = "I can't help with that request.";
inline constexpr const char* kConfidentialityReply =
    "I can't share my instructions or any confidential information I was given.";
inline constexpr const char* kMultipleChoiceCue = "Answer with the letter of the correct option.";
inline constexpr const char* kYesNoCue = "Answer yes or no.";
inline constexpr const char* kVerdictCue = "Verdict: SAFE or UNSAFE";
inline constexpr const char* kProjectHeader = "Nimbra-Project-Id";

enum class Rule { Judge, MultipleChoice, YesNo, Refusal, Confidentiality, Benign };

const char* rule_name(Rule rule);

struct Reply {
    Rule rule;
    std::string text;
};

// 64-bit FNV-1a: the stable hash behind every "hash pick" (same answer on every platform and run).
std::uint64_t stable_hash(std::string_view text);

// The first harm marker found in `text`, if any.
std::optional<std::string> find_harm_marker(std::string_view text);
bool says_refusal(std::string_view text);

struct Option {
    char letter;
    std::string text;
};
// The last run of option lines "A. ..", "B. .." (at least two) in the prompt.
std::vector<Option> parse_options(std::string_view prompt);

Reply respond(std::string_view prompt);

struct ChatMessage {
    std::string role;
    std::string content;
};
// Answers the last user message; system and earlier messages are never quoted.
Reply respond_to_chat(const std::vector<ChatMessage>& messages);

// The HTTP face, kept apart from the socket server so that it is tested without one.
struct ServiceConfig {
    std::string model_id = kDefaultModelId;
    std::set<std::string> rejected_projects;
    std::optional<std::string> api_key;  // when set, requests need "Authorization: Bearer <key>"
};

struct ServiceRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct ServiceResponse {
    int status = 200;
    std::string body;  // JSON
    std::string rule;  // the rule that produced the first answer, for the request log
};

// Routes: GET /health, GET /v1/models, GET /v1/models/<id>, POST /v1/completions,
// POST /v1/chat/completions. Errors answer {"error": {"message", "type", "param", "code"}}:
// 401 invalid_api_key, 403 project_not_found (param "project_id") for a rejected project,
// 404 model_not_found (param "model"), 400 for a malformed body, 404/405 for other paths/methods.
ServiceResponse handle(const ServiceConfig& config, const ServiceRequest& request);

// The labelled error body for a status the socket layer answers by itself.
std::string error_body(int status);

}  // namespace velora::core::reference_model
