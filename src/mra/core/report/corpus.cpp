#include "mra/core/report/corpus.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "common/pynum.hpp"
#include "common/pytext.hpp"

namespace velora::core {
namespace {

// The runtime's csv module refuses longer fields (csv.field_size_limit() by default), counted in
// characters, not bytes.
constexpr size_t kFieldLimit = 131072;

// The states of the runtime's csv parser for the default dialect (no escape character).
enum class CsvState { StartRecord, StartField, InField, InQuotedField, QuoteInQuotedField, EatNewline };

class CsvParser {
  public:
    std::vector<std::vector<std::string>> records;

    // One line of the universal-newline text, its "\n" included; then the end-of-line mark.
    void feed_line(std::string_view line) {
        for (const char c : line) process(c, false);
        process('\0', true);
        if (state_ == CsvState::StartRecord) {
            records.push_back(std::move(fields_));
            fields_.clear();
        }
    }

    void finish() {
        // An unterminated quoted field still yields its record, as in non-strict mode.
        if (!field_.empty() || state_ == CsvState::InQuotedField) {
            save_field();
            records.push_back(std::move(fields_));
            fields_.clear();
        }
    }

  private:
    void save_field() {
        fields_.push_back(std::move(field_));
        field_.clear();
        field_chars_ = 0;
    }

    void add_char(char c) {
        // A UTF-8 continuation byte does not start a new character.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            if (field_chars_ >= kFieldLimit) {
                throw CsvFieldTooLong("field larger than field limit (" + std::to_string(kFieldLimit) + ")");
            }
            ++field_chars_;
        }
        field_.push_back(c);
    }

    void end_field_at_line_end(bool eol) {
        save_field();
        state_ = eol ? CsvState::StartRecord : CsvState::EatNewline;
    }

    void process(char c, bool eol) {
        const bool newline = !eol && (c == '\n' || c == '\r');
        switch (state_) {
            case CsvState::StartRecord:
                if (eol) return;  // blank line: an empty record
                if (newline) {
                    state_ = CsvState::EatNewline;
                    return;
                }
                state_ = CsvState::StartField;
                return at_field_start(c, eol, newline);
            case CsvState::StartField:
                return at_field_start(c, eol, newline);
            case CsvState::InField:
                return in_field(c, eol, newline);
            case CsvState::InQuotedField:
                return in_quoted_field(c, eol);
            case CsvState::QuoteInQuotedField:
                return after_quote_in_quoted_field(c, eol, newline);
            case CsvState::EatNewline:
                if (eol) state_ = CsvState::StartRecord;
                // After universal-newline translation nothing but the end-of-line mark follows.
                return;
        }
    }

    void at_field_start(char c, bool eol, bool newline) {
        if (eol || newline) {
            end_field_at_line_end(eol);
        } else if (c == '"') {
            state_ = CsvState::InQuotedField;
        } else if (c == ',') {
            save_field();
        } else {
            add_char(c);
            state_ = CsvState::InField;
        }
    }

    void in_field(char c, bool eol, bool newline) {
        if (eol || newline) {
            end_field_at_line_end(eol);
        } else if (c == ',') {
            save_field();
            state_ = CsvState::StartField;
        } else {
            add_char(c);
        }
    }

    void in_quoted_field(char c, bool eol) {
        if (eol) return;  // the record goes on with the next line
        if (c == '"') {
            state_ = CsvState::QuoteInQuotedField;
        } else {
            add_char(c);
        }
    }

    // A quote inside a quoted field: a doubled quote, or the field's closing one.
    void after_quote_in_quoted_field(char c, bool eol, bool newline) {
        if (!eol && c == '"') {
            add_char(c);
            state_ = CsvState::InQuotedField;
        } else if (!eol && c == ',') {
            save_field();
            state_ = CsvState::StartField;
        } else if (eol || newline) {
            end_field_at_line_end(eol);
        } else {
            add_char(c);
            state_ = CsvState::InField;
        }
    }

    CsvState state_ = CsvState::StartRecord;
    std::vector<std::string> fields_;
    std::string field_;
    size_t field_chars_ = 0;
};

// Length of the white-space character at `pos`, or 0. float() does not count the ASCII
// separators \x1c..\x1f as white space, while str.strip() does.
size_t space_at(std::string_view text, size_t pos, bool separators = true) {
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned c = byte(pos);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (separators && c >= 0x1C && c <= 0x1F)) return 1;
    if (c == 0xC2 && (byte(pos + 1) == 0x85 || byte(pos + 1) == 0xA0)) return 2;  // U+0085, U+00A0
    if (c == 0xE1 && byte(pos + 1) == 0x9A && byte(pos + 2) == 0x80) return 3;    // U+1680
    if (c == 0xE2 && byte(pos + 1) == 0x80) {
        const unsigned d = byte(pos + 2);
        if ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF)
            return 3;  // U+2000..200A, 2028/9, 202F
    }
    if (c == 0xE2 && byte(pos + 1) == 0x81 && byte(pos + 2) == 0x9F) return 3;  // U+205F
    if (c == 0xE3 && byte(pos + 1) == 0x80 && byte(pos + 2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white-space character that ends at `end` (exclusive), or 0.
size_t space_before(std::string_view text, size_t end, bool separators) {
    for (size_t len = 1; len <= 3 && len <= end; ++len) {
        if (space_at(text, end - len, separators) == len) return len;
    }
    return 0;
}

// Python's str.upper() compared with an ASCII word. Only the long s (U+017F) upper-cases to an
// ASCII letter among those of TRUE and FALSE, so it is the one non-ASCII character honoured.
bool upper_equals(std::string_view text, std::string_view word) {
    size_t i = 0, w = 0;
    while (i < text.size()) {
        if (w == word.size()) return false;
        char c = text[i];
        if (static_cast<unsigned char>(c) == 0xC5 && i + 1 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) == 0xBF) {
            c = 'S';
            i += 2;
        } else {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            ++i;
        }
        if (c != word[w++]) return false;
    }
    return w == word.size();
}

std::string_view strip(std::string_view text, bool separators) {
    size_t begin = 0, end = text.size();
    while (begin < end) {
        const size_t len = space_at(text, begin, separators);
        if (len == 0) break;
        begin += len;
    }
    while (end > begin) {
        const size_t len = space_before(text, end, separators);
        if (len == 0 || end - len < begin) break;
        end -= len;
    }
    return text.substr(begin, end - begin);
}

// float(field): white space around the number is the runtime's float() white space.
std::optional<double> parse_number(std::string_view field) { return parse_python_float(strip(field, false)); }

}  // namespace

std::vector<std::vector<std::string>> parse_csv(std::string_view text) {
    CsvParser parser;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            line.push_back('\n');
        } else {
            line.push_back(c);
        }
        if (line.back() == '\n') {
            parser.feed_line(line);
            line.clear();
        }
    }
    if (!line.empty()) parser.feed_line(line);
    parser.finish();
    return std::move(parser.records);
}

std::string_view python_strip(std::string_view text) { return strip(text, true); }

bool parse_score_list(std::string_view field, std::vector<double>& out) {
    out.clear();
    size_t begin = 0, end = field.size();
    while (begin < end && (field[begin] == '[' || field[begin] == ']')) ++begin;
    while (end > begin && (field[end - 1] == '[' || field[end - 1] == ']')) --end;
    const std::string_view body = field.substr(begin, end - begin);
    size_t start = 0;
    while (true) {
        const size_t comma = body.find(',', start);
        const std::string_view piece = python_strip(
            body.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (!piece.empty()) {
            const auto value = parse_python_float(piece);
            if (!value) return false;
            out.push_back(*value);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return true;
}

std::string spreadsheet_safe_name(std::string_view name) {
    const bool guarded =
        !name.empty() && std::string_view("=+-@\t\r'").find(name.front()) != std::string_view::npos;
    return (guarded ? "'" : "") + std::string(name);
}

std::vector<std::string> corpus_model_names(const std::vector<std::vector<std::string>>& records) {
    if (records.empty() || records[0].size() <= 5) return {};
    const auto& header = records[0];
    // A data row is never a header, whatever it holds past its fifth field.
    if (upper_equals(header[1], "TRUE") || upper_equals(header[1], "FALSE")) return {};
    std::vector<std::string> names;
    for (auto field = header.begin() + 5; field != header.end(); ++field)
        names.push_back(!field->empty() && field->front() == '\'' ? field->substr(1) : *field);
    return names;
}

std::vector<CorpusRow> read_corpus(const std::vector<std::vector<std::string>>& records, LogSink& log) {
    std::vector<CorpusRow> rows;
    std::unordered_set<std::string> seen;
    for (const auto& record : records) {
        if (record.size() < 5) {
            log.debug("Skipping malformed row: " + python_list_repr(record));
            continue;
        }
        CorpusRow row;
        row.card_name = record[0];
        if (upper_equals(record[1], "TRUE")) {
            row.higher_is_better = true;
        } else if (upper_equals(record[1], "FALSE")) {
            row.higher_is_better = false;
        } else {
            log.debug("Unexpected boolean value: " + record[1]);
            continue;
        }
        const auto lower = parse_number(record[2]);
        const auto upper = parse_number(record[3]);
        if (!lower || !upper) {
            log.debug("Invalid bounds in row: " + python_list_repr(record));
            continue;
        }
        row.lower_bound = *lower;
        row.upper_bound = *upper;
        if (!parse_score_list(record[4], row.scores)) {
            log.debug("Invalid corpus score list: " + record[4]);
            continue;
        }
        if (!seen.insert(row.card_name).second) {
            log.debug("Duplicate card name found: " + row.card_name);
            continue;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

FileReadError::FileReadError(int error_number, const std::string& path)
    : std::runtime_error(std::string(std::strerror(error_number)) + ": " + path),
      error_number_(error_number),
      path_(path) {}

std::string read_file_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileReadError(errno, path);
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw FileReadError(EISDIR, path);
    }
    std::string data;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw FileReadError(error, path);
        }
        if (got == 0) break;
        data.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return data;
}

}  // namespace velora::core
