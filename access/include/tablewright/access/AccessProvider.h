#pragma once

#include "tablewright/model/DataAccess.h"

#include <memory>
#include <optional>
#include <string>

namespace tw::data {

/// Opens an Access (.mdb/.accdb) file for reading; password is the database password, if any.
/// Throws DataAccessError with a Chinese description naming the file when it cannot be opened.
/// `charset` (any iconv name) replaces the code page an Access 97 (Jet3) file's header names for
/// its text; Jet4/ACE files keep their text in Unicode and are read the same with or without it.
std::unique_ptr<Provider> OpenAccessProvider(const std::string& path,
                                             const std::optional<std::string>& password,
                                             const std::optional<std::string>& charset = {});

} // namespace tw::data
