// Marketing names of Mac model identifiers.
#pragma once

#include <span>
#include <string_view>

namespace vellumark::device_info {

inline constexpr std::string_view kUnknownModel = "Unknown Model";

struct ModelRow {
  std::string_view identifier;
  std::string_view name;
};

// The name for a model identifier (whole text, case-sensitive), or
// "Unknown Model" for any other text, the empty one included.
std::string_view modelName(std::string_view identifier);

// Every row, in table order.
std::span<const ModelRow> modelRows();

}  // namespace vellumark::device_info
