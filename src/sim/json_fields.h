#pragma once
// Whole numbers read from the JSON files the simulator takes (recordings,
// command traces): a field that holds anything else is refused, never
// converted.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace brigant::sim
{

// The field `key` of `object` as a whole number that fits T; anything else
// there (a fraction, a sign, too many digits) throws std::runtime_error.
template <typename T> T Whole(const nlohmann::json &object, const char *key)
{
    const nlohmann::json &value = object.at(key);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > std::numeric_limits<T>::max())
        throw std::runtime_error(std::string("\"") + key + "\" is not a whole number that fits");
    return static_cast<T>(value.get<std::uint64_t>());
}
template <typename T> T WholeOr(const nlohmann::json &object, const char *key, T absent)
{
    return object.contains(key) ? Whole<T>(object, key) : absent;
}

} // namespace brigant::sim
