// The benchmark corpus: for every card, whether higher scores are better, the stored lower and
// upper bounds, and the scores that the corpus models reached. Read from a CSV file whose rules
// are those of the Python runtime's csv module (comma, double-quote quoting), so a file that works
// with one works with the other.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.hpp"

namespace velora::core {

// The corpus that ships in the package's resources folder.
inline constexpr const char* kShippedCorpusFile = "22_cards_benchmark_results-25-75-corpus.csv";

// Splits text into records as csv.reader(open(path)) does with the default dialect: universal
// newlines, comma delimiter, double-quote quoting with "" for a literal quote, no strict mode.
// A blank line gives an empty record. A field longer than the module's limit (131072 characters)
// fails with CsvFieldTooLong, as the module refuses it.
std::vector<std::vector<std::string>> parse_csv(std::string_view text);

class CsvFieldTooLong : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// str.strip() of the runtime: removes every character that Python counts as white space
// (ASCII blanks, the separators \x1c to \x1f, and the Unicode spaces) from both ends of UTF-8 text.
std::string_view python_strip(std::string_view text);

struct CorpusRow {
    std::string card_name;
    bool higher_is_better = true;
    double lower_bound = 0.0;
    double upper_bound = 0.0;
    std::vector<double> scores;
};

// The rows of a corpus file that pass every check, in file order, the first row of a card winning.
// Each rejected record is reported on `log` (debug) and skipped; nothing here fails.
std::vector<CorpusRow> read_corpus(const std::vector<std::vector<std::string>>& records, LogSink& log);

// The models a corpus file names: the header line's columns after the score list (a built corpus
// has one score column per model there, written by spreadsheet_safe_name). Empty when the file has
// no header or names none.
std::vector<std::string> corpus_model_names(const std::vector<std::vector<std::string>>& records);

// A model name as a built corpus writes it: one a spreadsheet would run as a formula (=, +, -, @,
// tab or carriage return first) gets a leading apostrophe, as spreadsheet guidance advises, and so
// does one that starts with an apostrophe, so that corpus_model_names gives back exactly the name.
std::string spreadsheet_safe_name(std::string_view name);

// The score list of column 4: brackets stripped from both ends, split at commas, blank pieces
// dropped. Returns false (and leaves `out` unspecified) when a piece is not a number.
bool parse_score_list(std::string_view field, std::vector<double>& out);

// A file that cannot be read; `error_number` is the errno of the failing call.
class FileReadError : public std::runtime_error {
  public:
    FileReadError(int error_number, const std::string& path);
    int error_number() const { return error_number_; }
    const std::string& path() const { return path_; }

  private:
    int error_number_;
    std::string path_;
};

// The whole content of a file, as bytes. Throws FileReadError.
std::string read_file_bytes(const std::string& path);

}  // namespace velora::core
