#pragma once

// Every exception the library throws derives from kelmarion::core::Error. The
// subclasses are the kinds a caller can act on: a document of the wrong shape
// (fix the input), a database failure (look at the store or the server), and a
// configuration problem (fix the URL, the session or the options).

#include <stdexcept>
#include <string>

namespace kelmarion::core {

// Base of all library errors; what() is one line naming the subject, the problem
// and the offending key or value.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The document (or a value inside it) does not have the shape the reader needs.
class DocumentError : public Error {
 public:
  using Error::Error;
};

// A required key is missing from an entry of the document.
class MissingKeyError : public DocumentError {
 public:
  using DocumentError::DocumentError;
};

// An entry or value has the wrong kind: a list where an object is read, a text
// where a boolean is stored, and so on.
class DocumentTypeError : public DocumentError {
 public:
  using DocumentError::DocumentError;
};

// Bad or missing configuration: an unknown URL scheme, no session, a bad option.
class ConfigurationError : public Error {
 public:
  using Error::Error;
};

// A database engine reported a failure. Keeps the engine's own code (SQLite's
// extended result code as text, or PostgreSQL's SQLSTATE), its message, and the
// SQL that was running, if any. The message never carries a password.
class DatabaseError : public Error {
 public:
  DatabaseError(std::string what, std::string code, std::string engine_message, std::string sql)
      : Error(std::move(what)),
        _code(std::move(code)),
        _engine_message(std::move(engine_message)),
        _sql(std::move(sql)) {}

  [[nodiscard]] const std::string& code() const noexcept { return _code; }
  [[nodiscard]] const std::string& engine_message() const noexcept { return _engine_message; }
  [[nodiscard]] const std::string& sql() const noexcept { return _sql; }

 private:
  std::string _code;
  std::string _engine_message;
  std::string _sql;
};

}  // namespace kelmarion::core
