// TavraError: the one error type of the system's own failures.
//
// Every library operation that fails for a reason of its own throws a TavraError carrying one of
// seven cases and a message. what() is the case's fixed prefix followed directly by the message;
// that text is what reports, logs and the tool show. Errors of the platform and of libraries
// (file system, parsers, crypto) are not wrapped: they pass through as their own types.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace tavra {

class TavraError : public std::exception {
 public:
  enum class Case { catalog, signature, fragment, crypto, pathNotAllowed, io, render };

  TavraError(Case kind, std::string message);

  static TavraError catalog(std::string message) { return {Case::catalog, std::move(message)}; }
  static TavraError signature(std::string message) { return {Case::signature, std::move(message)}; }
  static TavraError fragment(std::string message) { return {Case::fragment, std::move(message)}; }
  static TavraError crypto(std::string message) { return {Case::crypto, std::move(message)}; }
  static TavraError pathNotAllowed(std::string message) {
    return {Case::pathNotAllowed, std::move(message)};
  }
  static TavraError io(std::string message) { return {Case::io, std::move(message)}; }
  static TavraError render(std::string message) { return {Case::render, std::move(message)}; }

  Case kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // The prefixed description, e.g. "io: cannot read /x".
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  static std::string_view prefix(Case kind) noexcept;

  friend bool operator==(const TavraError& a, const TavraError& b) noexcept {
    return a.kind_ == b.kind_ && a.message_ == b.message_;
  }

 private:
  Case kind_;
  std::string message_;
  std::string description_;
};

// The text every per-item report uses for a caught exception: a TavraError's prefixed
// description, otherwise the exception's own what().
std::string describe(const std::exception& error);

}  // namespace tavra
