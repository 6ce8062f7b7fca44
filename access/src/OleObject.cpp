#include "tablewright/access/OleObject.h"

#include "tablewright/model/Text.h"

#include <array>
#include <cstdint>

namespace tw::data {

namespace {

constexpr std::uint16_t kPackageSignature = 0x1C15;
constexpr std::uint32_t kOleVersion = 0x0501;
constexpr std::uint32_t kOleEmbedded = 2;
constexpr std::uint16_t kPackageStreamSignature = 2;
constexpr std::uint32_t kPackageEmbeddedFile = 0x00030000;
constexpr std::size_t kFileHeaderSize = 14; // BITMAPFILEHEADER

// Reads little-endian numbers and strings from a value, never past its end.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t Position() const { return at_; }
    bool Seek(std::size_t at) {
        if (at > bytes_.size())
            return false;
        at_ = at;
        return true;
    }
    bool Skip(std::size_t count) { return count <= bytes_.size() - at_ && Seek(at_ + count); }

    std::optional<std::uint32_t> Number(int size) {
        if (static_cast<std::size_t>(size) > bytes_.size() - at_)
            return std::nullopt;
        std::uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = (value << 8) |
                    static_cast<unsigned char>(bytes_[at_ + static_cast<std::size_t>(i)]);
        at_ += static_cast<std::size_t>(size);
        return value;
    }
    std::optional<std::uint32_t> U16() { return Number(2); }
    std::optional<std::uint32_t> U32() { return Number(4); }

    // The next `count` bytes.
    std::optional<std::string_view> Bytes(std::size_t count) {
        if (count > bytes_.size() - at_)
            return std::nullopt;
        const std::string_view part = bytes_.substr(at_, count);
        at_ += count;
        return part;
    }

    // Text up to a zero byte, which is passed.
    std::optional<std::string_view> ZeroTerminated() {
        const std::size_t end = bytes_.find('\0', at_);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view text = bytes_.substr(at_, end - at_);
        at_ = end + 1;
        return text;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// Text of a length-prefixed field, without the zero byte that usually ends it.
std::string_view WithoutZero(std::string_view text) {
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::uint32_t Little32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

void AppendLittle32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The packed file of a "Package" object's native data; nullopt for a link to a file.
std::optional<OleContents> PackagedFile(std::string_view native) {
    Reader in(native);
    const auto signature = in.U16();
    if (!signature || *signature != kPackageStreamSignature)
        return std::nullopt;
    const auto label = in.ZeroTerminated();
    const auto path = in.ZeroTerminated();
    const auto type = in.U32();
    if (!label || !path || !type || *type != kPackageEmbeddedFile)
        return std::nullopt;
    const auto temp_path_size = in.U32();
    if (!temp_path_size || !in.Skip(*temp_path_size))
        return std::nullopt;
    const auto size = in.U32();
    const auto data = size ? in.Bytes(*size) : std::nullopt;
    if (!data)
        return std::nullopt;
    return OleContents{OleContentKind::Package, std::string(*data), std::string(*label)};
}

// A BMP file from a device-independent bitmap (BITMAPINFOHEADER or one of its successors, the
// palette, the pixels): the file header in front says where the pixels start, and the file ends
// where the bitmap's own sizes say its pixels end (an OLE stream may carry bytes after them).
std::optional<std::string> BitmapFile(std::string_view dib) {
    if (dib.size() < 16)
        return std::nullopt;
    const std::uint32_t header_size = Little32(dib, 0);
    std::uint64_t palette = 0;
    std::uint64_t image = 0; // bytes of the pixels
    auto rows_of = [](std::uint64_t width, std::uint64_t height, unsigned bits) {
        return (width * bits + 31) / 32 * 4 * height; // rows padded to 4 bytes
    };
    if (header_size == 12) {
        // BITMAPCOREHEADER: 3-byte palette entries for up to 8 bits a pixel.
        const unsigned bits =
            static_cast<unsigned char>(dib[10]) | static_cast<unsigned char>(dib[11]) << 8;
        if (bits == 0 || bits > 32)
            return std::nullopt;
        palette = bits <= 8 ? (std::uint64_t{1} << bits) * 3 : 0;
        const unsigned width =
            static_cast<unsigned char>(dib[4]) | static_cast<unsigned char>(dib[5]) << 8;
        const unsigned height =
            static_cast<unsigned char>(dib[6]) | static_cast<unsigned char>(dib[7]) << 8;
        image = rows_of(width, height, bits);
    } else if (header_size == 40 || header_size == 52 || header_size == 56 || header_size == 108 ||
               header_size == 124) {
        if (dib.size() < 40)
            return std::nullopt;
        const unsigned bits =
            static_cast<unsigned char>(dib[14]) | static_cast<unsigned char>(dib[15]) << 8;
        const std::uint32_t compression = Little32(dib, 16);
        const std::uint32_t colors = Little32(dib, 32);
        if (bits == 0 || bits > 32 || colors > 256)
            return std::nullopt;
        palette = std::uint64_t{colors != 0 ? colors : bits <= 8 ? 1u << bits : 0u} * 4;
        // BI_BITFIELDS after a plain BITMAPINFOHEADER: three colour masks follow it.
        if (header_size == 40 && compression == 3)
            palette += 12;
        const auto width = static_cast<std::int32_t>(Little32(dib, 4));
        const auto height = static_cast<std::int32_t>(Little32(dib, 8)); // < 0: top-down
        const std::uint32_t size_image = Little32(dib, 20);
        if (compression == 0 || compression == 3) {
            if (width <= 0 || height == 0)
                return std::nullopt;
            const std::uint64_t rows = height < 0
                                           ? std::uint64_t{0} - static_cast<std::int64_t>(height)
                                           : static_cast<std::uint64_t>(height);
            image = rows_of(static_cast<std::uint64_t>(width), rows, bits);
        } else {
            image = size_image; // compressed pixels: only the header knows their size
            if (image == 0)
                return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    const std::uint64_t pixels = kFileHeaderSize + header_size + palette;
    const std::uint64_t size = pixels + image;
    // Pixels missing at the end make no picture; bytes after them are not part of it.
    if (size > kFileHeaderSize + dib.size() || size > 0xFFFFFFFFu)
        return std::nullopt;
    std::string file = "BM";
    AppendLittle32(file, static_cast<std::uint32_t>(size));
    AppendLittle32(file, 0); // two reserved words
    AppendLittle32(file, static_cast<std::uint32_t>(pixels));
    file.append(dib.substr(0, static_cast<std::size_t>(size - kFileHeaderSize)));
    return file;
}

// A BMP file stored whole, without what follows the size its file header declares; nullopt
// when that size is not one the value holds.
std::optional<std::string> WholeBitmap(std::string_view native) {
    if (native.size() < kFileHeaderSize)
        return std::nullopt;
    const std::uint32_t size = Little32(native, 2);
    if (size < kFileHeaderSize || size > native.size())
        return std::nullopt;
    return std::string(native.substr(0, size));
}

// The classes of Word, Excel and PowerPoint 97-2003, whose OLE storage is a file of theirs.
bool IsOfficeStorageClass(std::string_view type) {
    for (const std::string_view known : {"Word.Document.8", "Excel.Sheet.8", "Excel.Chart.8",
                                         "PowerPoint.Show.8", "PowerPoint.Slide.8"})
        if (EqualsNoCase(type, known))
            return true;
    return false;
}

bool IsPictureClass(std::string_view type) {
    for (const std::string_view known : {"Paint.Picture", "PBrush", "StaticDib", "DIB"})
        if (EqualsNoCase(type, known))
            return true;
    return false;
}

std::optional<OleContents> NativeContents(std::string_view type, std::string_view native) {
    if (EqualsNoCase(type, "Package"))
        return PackagedFile(native);
    // Files that carry their own signature are stored whole.
    constexpr std::array<std::pair<std::string_view, OleContentKind>, 8> kSignatures = {{
        {"BM", OleContentKind::Picture},
        {"\xFF\xD8\xFF", OleContentKind::Picture},
        {"\x89PNG\r\n\x1A\n", OleContentKind::Picture},
        {"GIF8", OleContentKind::Picture},
        {"%PDF-", OleContentKind::Document},
        {"{\\rtf", OleContentKind::Document},
        {"PK\x03\x04", OleContentKind::Document},
        {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", OleContentKind::Document},
    }};
    for (const auto& [signature, kind] : kSignatures) {
        if (!StartsWith(native, signature))
            continue;
        // An OLE storage is a file of its own only for the classes that save themselves so.
        if (signature.size() == 8 && !IsOfficeStorageClass(type))
            return std::nullopt;
        // "BM" alone is too short a signature unless the class says it is a picture.
        if (signature == "BM") {
            if (!IsPictureClass(type))
                return std::nullopt;
            if (auto file = WholeBitmap(native))
                return OleContents{kind, std::move(*file), {}};
            return std::nullopt;
        }
        return OleContents{kind, std::string(native), {}};
    }
    if (IsPictureClass(type))
        if (auto file = BitmapFile(native))
            return OleContents{OleContentKind::Picture, std::move(*file), {}};
    return std::nullopt;
}

} // namespace

std::optional<OleContents> ExtractOleContents(std::string_view value) {
    Reader in(value);
    // The package header: signature, its own size, object type, then the lengths and offsets
    // of the object's display name and class name, which this reading does not need.
    const auto signature = in.U16();
    const auto header_size = in.U16();
    if (!signature || *signature != kPackageSignature || !header_size || !in.Seek(*header_size))
        return std::nullopt;
    // The OLE 1.0 object header: version, format, class name, topic and item names (empty for
    // an embedded object), then the native data's size and the data.
    const auto version = in.U32();
    const auto format = in.U32();
    if (!version || *version != kOleVersion || !format || *format != kOleEmbedded)
        return std::nullopt;
    std::optional<std::string_view> type;
    if (const auto type_size = in.U32())
        type = in.Bytes(*type_size);
    if (!type)
        return std::nullopt;
    for (int name = 0; name < 2; ++name) {
        const auto size = in.U32();
        if (!size || !in.Skip(*size))
            return std::nullopt;
    }
    const auto native_size = in.U32();
    const auto native = native_size ? in.Bytes(*native_size) : std::nullopt;
    if (!native)
        return std::nullopt;
    return NativeContents(WithoutZero(*type), *native);
}

} // namespace tw::data
