// What inspect and verify found, as JSON for release scripts. Each report
// is a table, so that a caller can add fields before it is written.
#pragma once

#include <toml++/toml.h>

#include <cstdint>
#include <optional>
#include <string>

#include "builder/listing.h"
#include "builder/proof.h"

namespace pkx::builder {

// Strings of the package as UTF-8: converted from `codePage` when given and
// possible, else kept when they are UTF-8, else with each byte from 0x80 on
// written as \xNN.
toml::table InspectTable(const InspectReport& report, const std::string& fileName,
                         std::optional<uint32_t> codePage);

toml::table ProofTable(const ProofReport& report);

// `table` as JSON text, ending with a line break.
std::string Json(const toml::table& table);

}  // namespace pkx::builder
