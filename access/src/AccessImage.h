#pragma once

// Opening an Access database that is held in memory rather than in a file (the fuzz target
// reads its inputs this way); it is checked and read exactly as a file is.

#include "tablewright/model/DataAccess.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw::data::access {

/// Opens the database image `bytes`; `name` stands for the file in every message.
std::unique_ptr<Provider> OpenAccessImage(const std::string& name, std::vector<std::uint8_t> bytes,
                                          const std::optional<std::string>& password);

} // namespace tw::data::access
