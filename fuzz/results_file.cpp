// A results file of the command: read and checked, then everything made from one that passes (its
// counts, the document written again and read back, a corpus of it, JUnit cases named after it).
#include <algorithm>

#include "common/log_format.hpp"
#include "mra/core/report/corpus.hpp"
#include "mra/core/screening/corpus_builder.hpp"
#include "mra/core/screening/gate.hpp"
#include "mra/core/screening/results_document.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core;
using namespace velora::core::screening;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResultsDocument document;
    try {
        document = parse_results_document(velora::fuzz::text_of(data, size), "fuzz.json");
    } catch (const ResultsFileError&) {
        return 0;
    }
    // A document that was accepted once is accepted again after it is written.
    parse_results_document(results_document(document.header, document.results).dump(2), "again.json");

    std::map<std::string, bool> orientation;
    std::vector<JunitCase> cases;
    for (const auto& [risk, cards] : document.results.items()) {
        for (const auto& [card, metrics] : cards.items()) {
            orientation[card] = card.size() % 2 == 0;
            cases.push_back({risk, card, JunitCase::Outcome::Failed, document.header.model});
        }
    }
    const BuiltCorpus corpus = build_corpus(
        {{document.header.model, "fuzz", document.results}, {"other", "b", document.results}}, orientation);
    NullLogSink log;
    try {
        const auto records = parse_csv(corpus.csv);
        if (read_corpus(records, log).size() != corpus.cards) std::abort();
        // Model names come back as they were, whatever the spreadsheet guard put before them (a
        // carriage return excepted: the reader's universal newlines make it a line feed).
        const bool has_cr = std::any_of(corpus.models.begin(), corpus.models.end(), [](const std::string& m) {
            return m.find('\r') != std::string::npos;
        });
        if (!has_cr && corpus_model_names(records) != corpus.models) std::abort();
    } catch (const CsvFieldTooLong&) {
    }
    junit_xml(document.header.model, cases);
    // What may reach a terminal holds no control character but tab and line feed.
    for (const char c : printable_text(document.header.model)) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F) std::abort();
    }
    return 0;
}
