#pragma once

// The property blobs of the catalog (MSysObjects.LvProp): the properties of a table and its
// columns (captions, formats, defaults, validation rules and so on).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tw::data::access {

/// One property of an object of a property blob.
struct Property {
    std::string name;
    /// The value's type code (ColumnType).
    int type = 0;
    /// bool for Yes/No; int64 for Byte, Integer and Long; double for Single and Double; UTF-8
    /// text for Text and Memo; nothing for other kinds and for values too short for their type.
    std::variant<std::monostate, bool, std::int64_t, double, std::string> value;
};

/// The properties one object of a property blob holds.
struct PropertyObject {
    /// 0 for the object the blob belongs to (a table), 1 and more for its parts (columns).
    int kind = 0;
    /// The part's name; empty (or the object's own name) for the object itself.
    std::string name;
    std::vector<Property> properties;

    /// The property `name`, or null when the object does not have it.
    const Property* Find(std::string_view property) const;
};

/// Reads every property of every object of a property blob (MSysObjects.LvProp: "MR2" with
/// Jet4/ACE text, or "KKD" with text in `code_page` for Jet3). Parts that cannot be read end the
/// object or the blob they are in; a blob of another kind gives nothing.
std::vector<PropertyObject> ReadPropertyBlob(std::span<const std::uint8_t> blob, int code_page);

} // namespace tw::data::access
