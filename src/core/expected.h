// Errors as values. A reader or writer returns what it made, or a Failure
// that says in words why not; the words go into a diagnostic as they are
// ("cannot be opened: No such file or directory", "holds only 17 of 1024
// counts"). Nothing travels through errno between our own functions.
#pragma once

#include <string>
#include <utility>
#include <variant>

// Why an operation did not succeed, in words that complete "<file>: ...".
struct Failure {
    std::string message;
};

// A value, or the failure (a Failure, or a richer record) in its place.
template <typename T, typename E = Failure>
class [[nodiscard]] Expected {
public:
    // Moved straight into place: a record of kilobytes is not copied twice.
    Expected(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(const T& value) : state_(std::in_place_index<0>, value) {}
    Expected(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

// Success, or the Failure of an operation that makes nothing.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : failed_(true), message_(std::move(failure.message)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return message_; }

private:
    bool failed_ = false;
    std::string message_;
};

// The system's words for an error number that a C library call has just
// set; "unknown error" for 0, so that a failure never reads as success.
std::string system_error_text(int error_number);
