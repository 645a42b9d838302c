// A field of JSON read from outside (a worker's line, a job file, a journal):
// its value only when it has the type and the range asked for.
#pragma once

#include <cstdint>
#include <string>

#include "station/phone.h"

inline bool integer(const Json& object, const char* key, int64_t low, int64_t high, int64_t* out) {
    const auto it = object.find(key);
    if (it == object.end()) return false;
    int64_t value = 0;
    if (it->is_number_unsigned()) {
        const auto u = it->get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) return false;
        value = static_cast<int64_t>(u);
    } else if (it->is_number_integer()) {
        value = it->get<int64_t>();
    } else {
        return false;
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

// A string field, or nullptr.
inline const std::string* stringField(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}
