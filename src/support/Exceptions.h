// The error classes of the loader. Every error the loader raises derives from
// Exception; the start-up sequence's error trap prints Message() and
// ClassName(). Describe() is the one place that turns any caught
// std::exception into a class name and a message, so a catch site needs one
// handler, not a ladder of them.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define KESTRO_DECLARE_EXCEPTION(Name, Base)                          \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

// A format text whose placeholders do not fit its arguments.
KESTRO_DECLARE_EXCEPTION(EConvertError, Exception);
// File errors: a file that cannot be opened, created, read or written.
KESTRO_DECLARE_EXCEPTION(EStreamError, Exception);
KESTRO_DECLARE_EXCEPTION(EFOpenError, EStreamError);
KESTRO_DECLARE_EXCEPTION(EFCreateError, EStreamError);
KESTRO_DECLARE_EXCEPTION(EReadError, EStreamError);
KESTRO_DECLARE_EXCEPTION(EWriteError, EStreamError);
// A downloaded file that is no whole program this platform can start.
KESTRO_DECLARE_EXCEPTION(EInvalidExecutable, Exception);
// Registry values of the wrong type and refused reads or writes.
KESTRO_DECLARE_EXCEPTION(ERegistryException, Exception);

// What a caught exception says, in the loader's terms.
struct ExceptionDescription {
  // The loader's class name: ClassName() for the loader's own errors,
  // "EOutOfMemory" for std::bad_alloc and "Exception" for any other.
  std::string className;
  // Message() for the loader's own errors, "Out of memory" for std::bad_alloc
  // and what() for any other.
  std::string message;
  // True for the loader's own errors (derived from Exception); a site that
  // names the class only for those asks this.
  bool loaderError = false;
};

ExceptionDescription Describe(const std::exception& e);
