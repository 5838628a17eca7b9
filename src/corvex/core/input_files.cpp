#include "corvex/core/input_files.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "corvex/core/error.hpp"

namespace velora::core::corvex {
namespace {

bool in_range(std::string_view text, size_t at, unsigned char low, unsigned char high) {
    if (at >= text.size()) return false;
    const auto byte = static_cast<unsigned char>(text[at]);
    return byte >= low && byte <= high;
}

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 (the table of RFC 3629, section 4).
size_t sequence_length(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return in_range(text, at + 1, 0x80, 0xBF) ? 2 : 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range, narrowed for a few leads
    size_t length = 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (!in_range(text, at + 1, low, high)) return 0;
    for (size_t k = 2; k < length; ++k) {
        if (!in_range(text, at + k, 0x80, 0xBF)) return 0;
    }
    return length;
}

// Deepest nesting of lists and objects, brackets inside strings not counted. Stops counting once
// past `limit`: the parser never sees such a text.
size_t nesting_depth(std::string_view text, size_t limit) {
    size_t depth = 0, deepest = 0;
    bool in_string = false, escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) break;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<size_t> first_invalid_utf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequence_length(text, at);
        if (length == 0) return at;
        at += length;
    }
    return std::nullopt;
}

std::string utf8_for_message(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequence_length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string read_catalogue_file(const std::string& file, size_t max_bytes, const std::string& subject) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (ec || !fs::exists(status)) throw CorvexError(subject + " cannot be opened");
    // A FIFO or a device would block or never end.
    if (!fs::is_regular_file(status)) throw CorvexError(subject + " is not a regular file");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw CorvexError(subject + " cannot be opened");
    const auto too_large = [&] {
        return CorvexError(subject + " is larger than " + std::to_string(max_bytes) + " bytes");
    };
    if (fs::file_size(file, ec) > max_bytes && !ec) throw too_large();
    std::string bytes;
    char chunk[1 << 16];
    // Read to the end rather than trusting the size: the file may grow while it is read.
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<size_t>(in.gcount()));
        if (bytes.size() > max_bytes) throw too_large();
    }
    if (in.bad()) throw CorvexError(subject + " could not be read to the end");
    return bytes;
}

std::optional<ordered_json> parse_json_text(std::string_view text, std::string& problem) {
    if (const auto at = first_invalid_utf8(text)) {
        problem = "is not UTF-8 text (byte " + std::to_string(*at + 1) + ")";
        return std::nullopt;
    }
    if (nesting_depth(text, kMaxJsonDepth) > kMaxJsonDepth) {
        problem = "nests lists and objects deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return std::nullopt;
    }
    try {
        return ordered_json::parse(text);
    } catch (const ordered_json::exception& error) {
        // Parse errors, and numbers too large for a double, which the parser reports as out of range.
        // The parser's message may cut a character in two when it quotes the last bytes read.
        problem = "is not valid JSON (" + utf8_for_message(error.what()) + ")";
        return std::nullopt;
    }
}

}  // namespace velora::core::corvex
