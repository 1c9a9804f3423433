// The base of every error the application reports to the user: it carries the Japanese description
// that alerts and status lines show. Components derive their own error types from it.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

class AppError : public std::runtime_error {
public:
    explicit AppError(const std::string& localizedDescription)
        : std::runtime_error(localizedDescription) {}

    std::string localizedDescription() const { return what(); }
};

// The text of a caught failure for a status line or an alert: its description, or "不明なエラー" for
// anything that is not a standard exception.
inline std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "不明なエラー";
    }
}
