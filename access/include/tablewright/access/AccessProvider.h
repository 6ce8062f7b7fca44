#pragma once

#include "tablewright/model/DataAccess.h"

#include <memory>
#include <optional>
#include <string>

namespace tw::data {

/// Opens an Access (.mdb/.accdb) file for reading; password is the database password, if any.
/// Throws DataAccessError with a Chinese description naming the file when it cannot be opened.
std::unique_ptr<Provider> OpenAccessProvider(const std::string& path,
                                             const std::optional<std::string>& password);

} // namespace tw::data
