// The persistent storage the server keeps for one plug-in: property-list values by key in a typed JSON
// file of the server's state directory, so that what a driver stores survives a restart of the server.
// The plug-in host calls it from the driver's host-table entries, on any driver thread.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/AudioServer/PropertyList/PropertyList.h"

class PlugInStorage {
public:
    // Reads the file if it exists; an unreadable file is set aside (renamed with ".unreadable") and the
    // storage starts empty, so the next write cannot destroy what might still be recovered by hand.
    explicit PlugInStorage(std::filesystem::path file);

    // A file nested deeper than property-list values may be is unreadable too. None of the calls below
    // throws: they answer C callbacks of the plug-in.

    // A +1 copy of the value under `key`, or NULL when there is none.
    PLRef copy(const std::string& key) const noexcept;
    // Stores a deep copy and rewrites the file atomically; false (and nothing changed) when the value
    // cannot be stored or the file cannot be written.
    bool write(const std::string& key, PLRef value) noexcept;
    bool remove(const std::string& key) noexcept;

    const std::filesystem::path& file() const { return file_; }

    // The typed JSON form of one value, and back: integers and reals stay apart, data is base64,
    // dictionaries keep their key order. fromJSON returns NULL (+1 otherwise) for a malformed entry.
    // Both refuse (NULL, or a null JSON) a value nested deeper than PL_MAX_DEPTH, and look no further
    // down than that.
    static nlohmann::ordered_json toJSON(PLRef value);
    static PLRef fromJSON(const nlohmann::ordered_json& json);

private:
    // `allowed`: the levels the value may still take, its own included.
    static nlohmann::ordered_json toJSON(PLRef value, size_t allowed);
    static PLRef fromJSON(const nlohmann::ordered_json& json, size_t allowed);

    // Writes the contents to the file and, once they are there, makes them the stored values.
    bool replaceLocked(nlohmann::ordered_json contents);

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::ordered_json values_ = nlohmann::ordered_json::object();
};
