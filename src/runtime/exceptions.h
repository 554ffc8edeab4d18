#pragma once
// Exceptions of the framework: every one carries its class name and a wide message, so the
// error pages can name the class ("EWebException") and quote the message.

#include <exception>
#include <string>

namespace isapi_web {

/// Root of the framework's exceptions: a class name and a wide (UTF-16) message.
class Exception : public std::exception {
public:
  explicit Exception(std::u16string message);
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;
  ~Exception() override;

  /// The class name as the error pages print it, e.g. u"EWebException".
  virtual std::u16string ClassName() const { return u"Exception"; }
  const std::u16string& Message() const noexcept { return FMessage; }
  void SetMessage(std::u16string message);
  /// The message as UTF-8, for diagnostics outside the framework.
  const char* what() const noexcept override;

private:
  std::u16string FMessage;
  std::string FWhat;
};

// Declares an exception class deriving from Base with its own class name.
#define ISAPI_WEB_EXCEPTION(Name, Base)                                                            \
  class Name : public Base {                                                                       \
  public:                                                                                          \
    using Base::Base;                                                                              \
    std::u16string ClassName() const override { return u## #Name; }                                \
  }

/// Conversion errors: integers, dates, URL escapes.
ISAPI_WEB_EXCEPTION(EConvertError, Exception);
/// Framework conditions with fixed messages.
ISAPI_WEB_EXCEPTION(EWebException, Exception);
/// A malformed wildcard mask.
ISAPI_WEB_EXCEPTION(EMaskException, Exception);
/// A named resource (a module definition) that the image does not hold.
ISAPI_WEB_EXCEPTION(EResNotFound, Exception);
/// A list or collection index outside its bounds.
ISAPI_WEB_EXCEPTION(EListError, Exception);
/// A string list asked to keep a duplicate it must refuse.
ISAPI_WEB_EXCEPTION(EStringListError, EListError);
/// Assigning a persistent object to a destination that cannot take it; a conversion error, so
/// handlers of EConvertError see it too.
ISAPI_WEB_EXCEPTION(EAssignError, EConvertError);
/// A stream read or write that could not be completed.
ISAPI_WEB_EXCEPTION(EStreamError, Exception);
/// A stored definition that cannot be read (unknown property, bad value).
ISAPI_WEB_EXCEPTION(EReadError, Exception);
/// A component name that is invalid or already taken.
ISAPI_WEB_EXCEPTION(EComponentError, Exception);
/// Calling an operation that a base class leaves abstract.
ISAPI_WEB_EXCEPTION(EAbstractError, Exception);
/// A checked downcast to a class the object is not of.
ISAPI_WEB_EXCEPTION(EInvalidCast, Exception);

/// Raises EAbstractError ("Abstract Error"): the runtime's abstract-call failure.
[[noreturn]] void AbstractError();

} // namespace isapi_web
