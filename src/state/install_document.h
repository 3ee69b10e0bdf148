// Readers for the install document, shared by the server check and the
// install sequence so both judge an answer alike.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// A missing member leaves `out` as it is and is fine; a member of another
// JSON type makes the answer unexpected (false).
bool ReadJsonString(const nlohmann::json& obj, const char* name, std::string& out);
// Whole numbers as they are, floating-point ones as their integer part;
// negative, non-finite or out-of-range values are unexpected, never wrapped.
bool ReadJsonSize(const nlohmann::json& obj, const char* name, uint64_t& out);
