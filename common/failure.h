#pragma once
// What both programs raise when a step fails: an exception carrying its 8-bit message (ANSI
// code page), caught as std::exception where the step's caller reports it. The library's
// std::runtime_error would do as well, but brings its reference-counted string machinery (some
// 40 KB) into the setup program, which is kept small.
#include <exception>
#include <string>
#include <utility>

class Failure : public std::exception {
 public:
  explicit Failure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
