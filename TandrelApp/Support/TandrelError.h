// The base of every error the application shows to the user: what() is the user-facing (Japanese)
// description, so one catch site can show any of them.
#pragma once

#include <stdexcept>
#include <string>

class TandrelError : public std::runtime_error {
public:
    explicit TandrelError(const std::string& localizedDescription)
        : std::runtime_error(localizedDescription) {}

    std::string localizedDescription() const { return what(); }
};
