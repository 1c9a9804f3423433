// The base of every error the application reports to the user: it carries the Japanese description
// that alerts and status lines show. Components derive their own error types from it.
#pragma once

#include <stdexcept>
#include <string>

class AppError : public std::runtime_error {
public:
    explicit AppError(const std::string& localizedDescription)
        : std::runtime_error(localizedDescription) {}

    std::string localizedDescription() const { return what(); }
};
