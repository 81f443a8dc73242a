#pragma once
// One error type for the libraries: a failure carries its kind, which callers
// decide on, and its text, which is shown to the user as it stands. Callers
// never look inside the text to learn what went wrong.
//
//   Result<File> parse(...);            // a File, or an Error
//   Result<> write(...);                // nothing, or an Error
//   if (auto file = parse(...)) use(*file);
//   else if (file.error().kind() == ErrorKind::NotMachO) ...
#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// What went wrong, for the caller to act on. Add a kind only when some caller
// decides differently on it; the text says the rest.
enum class ErrorKind {
    Failed,       // the general case: the text says it all
    NotFound,     // a file, an item or an identity is not there
    Exists,       // the item is already there
    NotMachO,     // the input is not a Mach-O file at all
    Malformed,    // the input is of the right kind but damaged or inconsistent
    Unsupported,  // well formed, but of a shape we do not handle
    Io,           // reading or writing the file system failed
};

class Error {
public:
    Error(ErrorKind kind, std::string text) : _kind(kind), _text(std::move(text)) {}
    explicit Error(std::string text) : Error(ErrorKind::Failed, std::move(text)) {}

    ErrorKind kind() const { return _kind; }
    const std::string& text() const { return _text; }

private:
    ErrorKind _kind;
    std::string _text;
};

template <typename T = void>
class [[nodiscard]] Result {
public:
    Result(T value) : _state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : _state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return _state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return *std::get_if<0>(&_state); }
    const T& value() const& { assert(ok()); return *std::get_if<0>(&_state); }
    T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&_state)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { assert(!ok()); return *std::get_if<1>(&_state); }
    ErrorKind kind() const { return error().kind(); }
    const std::string& text() const { return error().text(); }

private:
    std::variant<T, Error> _state;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : _error(std::move(error)), _ok(false) {}

    bool ok() const { return _ok; }
    explicit operator bool() const { return ok(); }

    const Error& error() const { assert(!ok()); return _error; }
    ErrorKind kind() const { return error().kind(); }
    const std::string& text() const { return error().text(); }

private:
    Error _error{ErrorKind::Failed, {}};
    bool _ok = true;
};

}  // namespace platform
