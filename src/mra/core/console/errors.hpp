// Errors of the governance-console client. The bindings raise each as its Python kind with the
// message unchanged: ConsoleError is the system's general error, the others mirror the runtime
// errors that the console operations let through (a missing member, a wrong shape, a body that is
// not JSON). None of the messages ever carries a token, an API key or a password.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace velora::core::console {

// What every console error is, so that a caller can catch them all in one place.
class ConsoleException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The general error: the operation failed, the message says how.
class ConsoleError : public ConsoleException {
  public:
    using ConsoleException::ConsoleException;
};

// A roll-back that could not remove everything: the message names the metric objects left on the
// console, so that a person can remove them. `interrupted` when Ctrl-C caused (or cut short) it.
class ConsoleRollbackError : public ConsoleError {
  public:
    ConsoleRollbackError(const std::string& message, std::vector<std::string> left, bool interrupted)
        : ConsoleError(message), left_(std::move(left)), interrupted_(interrupted) {}
    const std::vector<std::string>& left() const noexcept { return left_; }
    bool interrupted() const noexcept { return interrupted_; }

  private:
    std::vector<std::string> left_;
    bool interrupted_;
};

// A member that must be present was missing; what() is the member's name alone.
class ConsoleKeyError : public ConsoleException {
  public:
    using ConsoleException::ConsoleException;
};

// A value of the wrong kind (an answer of an unexpected shape, a value that cannot be published).
class ConsoleTypeError : public ConsoleException {
  public:
    using ConsoleException::ConsoleException;
};

// A value of the right kind that cannot be used (a metric id that is not an integer, a setting
// that cannot be read).
class ConsoleValueError : public ConsoleException {
  public:
    using ConsoleException::ConsoleException;
};

// A body that is not JSON. what() is written the way the runtime's JSON decoder writes it
// ("Expecting value: line 1 column 1 (char 0)"); the position counts characters, not bytes.
class ConsoleDecodeError : public ConsoleException {
  public:
    ConsoleDecodeError(std::string reason, std::string document, size_t position, size_t line, size_t column);
    const std::string& reason() const noexcept { return reason_; }
    const std::string& document() const noexcept { return document_; }
    size_t position() const noexcept { return position_; }

  private:
    std::string reason_;
    std::string document_;
    size_t position_;
};

}  // namespace velora::core::console
