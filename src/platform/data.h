#pragma once
// Byte buffers as the platform hands them around (bodies, defaults data values).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Data = std::vector<std::uint8_t>;

inline Data toData(std::string_view text) { return Data(text.begin(), text.end()); }
inline std::string toString(const Data& data) { return std::string(data.begin(), data.end()); }

}  // namespace platform
