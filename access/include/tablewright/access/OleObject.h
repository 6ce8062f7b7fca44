#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tw::data {

/// The Access type code of OLE Object columns (ColumnSchema::source_type, Field::SourceType).
inline constexpr int kAccessOleType = 0x0B;

/// What kind of file an OLE Object value embeds.
enum class OleContentKind {
    /// A file packed by the "Package" object (Ole10Native): the file as it was packed.
    Package,
    /// A picture: a bitmap of "Paint.Picture"/"PBrush" (stored as a device-independent bitmap,
    /// it gets its BITMAPFILEHEADER back), or a BMP, JPEG, PNG or GIF stored whole.
    Picture,
    /// A document stored whole after the header: PDF, RTF, a ZIP-based Office file, or a Word,
    /// Excel or PowerPoint 97-2003 file (whose OLE storage is the file itself).
    Document,
};

/// The file an OLE Object value embeds.
struct OleContents {
    OleContentKind kind = OleContentKind::Document;
    /// The file's bytes.
    std::string data;
    /// The packed file's name (Package); empty for the other kinds.
    std::string file_name;
};

/// Unwraps an Access OLE Object value: the package header Access writes (signature 0x1C15),
/// the OLE 1.0 object header (version 0x0501, embedded, class name), then the object's native
/// data, which holds a file of one of the kinds above. nullopt for values of any other kind
/// (linked objects, OLE storages of other classes, bytes without the wrapper) and for wrappers
/// whose lengths do not fit the value; every length is checked against the value.
std::optional<OleContents> ExtractOleContents(std::string_view value);

} // namespace tw::data
