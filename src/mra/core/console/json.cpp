#include "mra/core/console/json.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "common/pytext.hpp"
#include "mra/core/console/errors.hpp"

namespace velora::core::console {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters (UTF-8 code points) in the first `bytes` bytes of text.
size_t characters_in(std::string_view text, size_t bytes) {
    size_t count = 0;
    for (size_t i = 0; i < bytes && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++count;
    }
    return count;
}

// Where a document first opens more than kMaxJsonNesting arrays or objects, if it does. Readers of
// an answer recurse over it, so an answer nested deeper than any real one is refused up front.
std::optional<size_t> too_deep_at(std::string_view text) {
    size_t depth = 0;
    bool in_string = false, escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonNesting) return i;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return std::nullopt;
}

// The decoder's error at byte `byte` of `body`, with the runtime's line, column and position.
ConsoleDecodeError decode_error(const std::string& reason, const std::string& body, size_t byte) {
    size_t first = 0;
    while (first < body.size() && is_blank(body[first])) ++first;
    if (byte < first) byte = first;
    const size_t position = characters_in(body, byte);
    size_t line = 1;
    for (size_t i = 0; i < byte; ++i) line += body[i] == '\n' ? 1 : 0;
    // colno = pos - doc.rfind('\n', 0, pos), as the runtime computes it.
    const size_t newline = byte == 0 ? std::string::npos : body.rfind('\n', byte - 1);
    const size_t column =
        newline == std::string::npos ? position + 1 : position - characters_in(body, newline);
    return ConsoleDecodeError(reason, body, position, line, column);
}

}  // namespace

ConsoleDecodeError::ConsoleDecodeError(std::string reason, std::string document, size_t position, size_t line,
                                       size_t column)
    : ConsoleException(reason + ": line " + std::to_string(line) + " column " + std::to_string(column) +
                       " (char " + std::to_string(position) + ")"),
      reason_(std::move(reason)),
      document_(std::move(document)),
      position_(position) {}

Json parse_body(const std::string& body) {
    if (const auto deep = too_deep_at(body)) throw decode_error("Document nested too deeply", body, *deep);
    try {
        return Json::parse(body);
    } catch (const Json::parse_error& error) {
        // The parser's own text quotes what it last read, which may be a token: only the position
        // goes into the message.
        size_t byte = error.byte == 0 ? 0 : error.byte - 1;
        if (byte > body.size()) byte = body.size();
        size_t first = 0;
        while (first < body.size() && is_blank(body[first])) ++first;
        throw decode_error(byte <= first ? "Expecting value" : "Invalid JSON", body, byte);
    } catch (const Json::out_of_range&) {
        // A number beyond the range of a double (1e400): no value we could store or compare.
        throw decode_error("Number out of range", body, 0);
    }
}

std::string request_body(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const char* python_type_name(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            return "dict";
        case Json::value_t::array:
            return "list";
        case Json::value_t::string:
            return "str";
        case Json::value_t::boolean:
            return "bool";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
            return "int";
        case Json::value_t::number_float:
            return "float";
        default:
            return "NoneType";
    }
}

bool python_truthy(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
        case Json::value_t::array:
            return !value.empty();
        case Json::value_t::string:
            return !value.get_ref<const std::string&>().empty();
        case Json::value_t::boolean:
            return value.get<bool>();
        case Json::value_t::number_integer:
            return value.get<std::int64_t>() != 0;
        case Json::value_t::number_unsigned:
            return value.get<std::uint64_t>() != 0;
        case Json::value_t::number_float:
            return value.get<double>() != 0.0;
        default:
            return false;
    }
}

std::string python_float_repr(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The runtime writes the shortest round-trip digits, in exponent form when the decimal
    // exponent is below -4 or from 16 up, with a sign and at least two exponent digits.
    char buffer[64];
    const auto scientific =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string sci(buffer, scientific.ptr);
    const auto e = sci.find('e');
    const int exponent = std::stoi(sci.substr(e + 1));
    if (exponent < -4 || exponent >= 16) {
        std::string digits = sci.substr(e + 1);
        const char sign = digits[0] == '-' ? '-' : '+';
        if (digits[0] == '-' || digits[0] == '+') digits.erase(0, 1);
        if (digits.size() < 2) digits = "0" + digits;
        return sci.substr(0, e) + "e" + sign + digits;
    }
    const auto fixed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, fixed.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string python_text(const Json& value) {
    switch (value.type()) {
        case Json::value_t::string:
            return value.get<std::string>();
        case Json::value_t::boolean:
            return value.get<bool>() ? "True" : "False";
        case Json::value_t::number_integer:
            return std::to_string(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return std::to_string(value.get<std::uint64_t>());
        case Json::value_t::number_float:
            return python_float_repr(value.get<double>());
        case Json::value_t::null:
            return "None";
        default:
            return value.dump();
    }
}

namespace {

std::int64_t int_of_float(double d) {
    if (std::isnan(d)) throw ConsoleValueError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw ConsoleValueError("cannot convert float infinity to integer");
    if (std::fabs(d) >= 9.2e18)
        throw ConsoleValueError("metric id " + python_float_repr(d) + " is out of range");
    return static_cast<std::int64_t>(std::trunc(d));
}

// int(text) of the runtime: surrounding white space, a sign, digits with single underscores between.
std::int64_t int_of_text(const std::string& text) {
    std::string_view rest(text);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.remove_suffix(1);
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    std::string digits;
    bool valid = !rest.empty() && rest.front() != '_' && rest.back() != '_';
    for (size_t i = 0; valid && i < rest.size(); ++i) {
        const char c = rest[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == '_' && rest[i + 1] != '_') {
            continue;
        } else {
            valid = false;
        }
    }
    std::int64_t n = 0;
    if (valid) {
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (ec == std::errc::result_out_of_range) {
            throw ConsoleValueError("metric id " + python_repr(text) + " is out of range");
        }
        valid = ec == std::errc() && end == digits.data() + digits.size();
    }
    if (!valid) throw ConsoleValueError("invalid literal for int() with base 10: " + python_repr(text));
    return negative ? -n : n;
}

}  // namespace

std::int64_t python_int(const Json& value) {
    switch (value.type()) {
        case Json::value_t::boolean:
            return value.get<bool>() ? 1 : 0;
        case Json::value_t::number_integer:
            return value.get<std::int64_t>();
        case Json::value_t::number_unsigned: {
            const auto n = value.get<std::uint64_t>();
            if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw ConsoleValueError("metric id " + std::to_string(n) + " is out of range");
            }
            return static_cast<std::int64_t>(n);
        }
        case Json::value_t::number_float:
            return int_of_float(value.get<double>());
        case Json::value_t::string:
            return int_of_text(value.get_ref<const std::string&>());
        default:
            throw ConsoleTypeError(
                std::string("int() argument must be a string, a bytes-like object or a real "
                            "number, not '") +
                python_type_name(value) + "'");
    }
}

}  // namespace velora::core::console
