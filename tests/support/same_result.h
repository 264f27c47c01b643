// Two readings of one recording compared field by field: a whole reading and one joined from
// parts, where a few numbers may move by what reading a part from its own start moves them.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Every field of `joined` as in `whole`; `path` names where. Where an argmin or argmax time
// differs, it is left to expect_same_result.
void expect_same(const nlohmann::json& whole, const nlohmann::json& joined, const std::string& path = "");
// Every field of a skelv-check result `joined` as in `whole`, ties of a minimum or maximum included.
void expect_same_result(const nlohmann::json& whole, const nlohmann::json& joined);
