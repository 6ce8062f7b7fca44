#include "AccessProperties.h"

#include "AccessBytes.h"
#include "AccessText.h"

#include <algorithm>
#include <memory>

namespace tw::data::access {

const Property* PropertyObject::Find(std::string_view property) const {
    for (const auto& entry : properties) {
        if (entry.name == property)
            return &entry;
    }
    return nullptr;
}

std::vector<PropertyObject> ReadPropertyBlob(std::span<const std::uint8_t> blob, int code_page) {
    // Layout: a 4-byte kind ("MR2" or "KKD"), then chunks of {int32 length, int16 type, body}.
    // Type 0x80 lists the property names as {int16 length, text}; the other types hold one
    // object's properties: {int32 length, int16 name length, name, then records of {int16
    // length, byte, byte data type, int16 name index, int16 value size, value}}.
    std::vector<PropertyObject> objects;
    if (blob.size() < 4)
        return objects;
    const bool jet3 = std::memcmp(blob.data(), "KKD", 4) == 0;
    if (!jet3 && std::memcmp(blob.data(), "MR2", 4) != 0)
        return objects;
    std::unique_ptr<CodePageDecoder> decoder;
    auto text = [&](const std::uint8_t* data, std::size_t size) {
        std::string out;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(out, data, size);
        } else {
            AppendJet4Text(out, data, size);
        }
        return out;
    };
    std::vector<std::string> names;
    std::size_t pos = 4;
    while (pos + 6 <= blob.size()) {
        const std::size_t length = ReadU32(blob.data() + pos);
        const int type = ReadU16(blob.data() + pos + 4);
        if (length < 6 || length > blob.size() - pos)
            break;
        const std::uint8_t* body = blob.data() + pos + 6;
        const std::size_t body_size = length - 6;
        pos += length;
        if (type == 0x80) {
            names.clear();
            std::size_t p = 0;
            while (p + 2 <= body_size) {
                const std::size_t n = ReadU16(body + p);
                p += 2;
                if (n > body_size - p)
                    break;
                names.push_back(text(body + p, n));
                p += n;
            }
            continue;
        }
        if (body_size < 6)
            continue;
        const std::size_t name_size = ReadU16(body + 4);
        if (name_size > body_size - 6)
            continue;
        PropertyObject& object = objects.emplace_back();
        object.kind = type;
        object.name = text(body + 6, name_size);
        std::size_t p = 6 + name_size;
        while (p + 8 <= body_size) {
            const std::size_t record = ReadU16(body + p);
            const std::size_t index = ReadU16(body + p + 4);
            const std::size_t size = ReadU16(body + p + 6);
            if (record < 8 || record > body_size - p || size > record - 8)
                break;
            if (index < names.size()) {
                Property& property = object.properties.emplace_back();
                property.name = names[index];
                property.type = body[p + 3];
                const std::uint8_t* value = body + p + 8;
                switch (property.type) {
                case kTypeBool:
                    if (size >= 1)
                        property.value =
                            std::any_of(value, value + size, [](std::uint8_t b) { return b != 0; });
                    break;
                case kTypeByte:
                    if (size >= 1)
                        property.value = std::int64_t{value[0]};
                    break;
                case kTypeInt16:
                    if (size >= 2)
                        property.value = std::int64_t{static_cast<std::int16_t>(ReadU16(value))};
                    break;
                case kTypeInt32:
                    if (size >= 4)
                        property.value = std::int64_t{static_cast<std::int32_t>(ReadU32(value))};
                    break;
                case kTypeFloat:
                    if (size >= 4)
                        property.value = static_cast<double>(ReadFloat(value));
                    break;
                case kTypeDouble:
                    if (size >= 8)
                        property.value = ReadDouble(value);
                    break;
                case kTypeText:
                case kTypeMemo:
                    property.value = text(value, size);
                    break;
                default:
                    break;
                }
            }
            p += record;
        }
    }
    return objects;
}

} // namespace tw::data::access
