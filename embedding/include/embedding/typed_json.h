// Typed JSON: channel values written as JSON so that every codec type survives
// (used by hostctl and by test fixtures).
//
//   int32 1 | int64 {"$int64": "-5"} | double 1.0, 2.5e-3, {"$float64": "NaN"}
//   bytes {"$bytes": "00ff"} | {"$int32list": [1]} {"$int64list": ["1"]}
//   {"$float32list": [0.5]} {"$float64list": [0.5]} | list [...]
//   string-keyed map {"k": v} | any map {"$map": [[k, v], ...]}
//
// Non-finite elements of float lists are written as the strings "NaN",
// "Infinity" and "-Infinity". Printing always uses these forms, so printed text
// parses back to an equal value.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "embedding/channel_value.h"
#include "embedding/codec.h"

namespace vellumark {

// Throw std::invalid_argument naming what is wrong and where.
ChannelValue channelValueFromJson(const nlohmann::ordered_json& json);

// Text forms. The printer writes `, ` and `: ` separators, doubles in their
// shortest exact form (a whole double keeps its `.0`) and UTF-8 as is. It
// throws std::invalid_argument for a string that is not UTF-8; an extension
// record prints as {"$custom": "<description>"}, which does not parse back.
std::string printTypedJson(const ChannelValue& value);
ChannelValue parseTypedJson(std::string_view text);

// The method codec's forms: {"method": "name", "args": VALUE}; {"result": VALUE};
// {"code": "...", "message": "..." or null, "details": VALUE[, "stacktrace": "..."]}.
MethodCall methodCallFromJson(const nlohmann::ordered_json& json);
std::string printMethodCallJson(const MethodCall& call);
MethodCall parseMethodCallJson(std::string_view text);

MethodEnvelope envelopeFromJson(const nlohmann::ordered_json& json);
std::string printEnvelopeJson(const MethodEnvelope& envelope);
MethodEnvelope parseEnvelopeJson(std::string_view text);

// Parses JSON text keeping object key order. Rejects (std::invalid_argument)
// integers beyond 64 bits, which plain parsers silently turn into doubles, and
// nesting deeper than typed JSON of kMaxValueDepth values needs.
nlohmann::ordered_json parseOrderedJson(std::string_view text);

}  // namespace vellumark
