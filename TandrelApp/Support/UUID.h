// A 128-bit identifier with the platform's canonical text form; the routing configuration, the
// controller and the engine use it to name sources, connections and routes.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil identifier (all zero bytes).
    constexpr UUID() = default;
    explicit constexpr UUID(const Bytes& bytes)
        : bytes_(bytes) {}

    // A new random (version 4, RFC 4122 variant) identifier.
    static UUID random();

    // Parses the 36-character hyphenated form (8-4-4-4-12 hex digits, either letter case);
    // anything else gives no value.
    static std::optional<UUID> fromString(std::string_view text);

    // The 36-character hyphenated form in upper-case hex, as the platform writes it.
    std::string uuidString() const;

    const Bytes& bytes() const { return bytes_; }

    auto operator<=>(const UUID&) const = default;
    bool operator==(const UUID&) const = default;

private:
    Bytes bytes_{};
};

template <>
struct std::hash<UUID> {
    std::size_t operator()(const UUID& uuid) const noexcept;
};
