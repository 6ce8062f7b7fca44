#include "ValueText.h"

#include <cstdio>
#include <type_traits>
#include <variant>

namespace tw::test {

std::string ValueText(const data::Value& value, std::size_t shown) {
    return std::visit(
        [shown](const auto& x) -> std::string {
            using X = std::decay_t<decltype(x)>;
            char buffer[64];
            if constexpr (std::is_same_v<X, std::monostate>) {
                return "NULL";
            } else if constexpr (std::is_same_v<X, bool>) {
                return x ? "true" : "false";
            } else if constexpr (std::is_same_v<X, std::int64_t>) {
                return std::to_string(x);
            } else if constexpr (std::is_same_v<X, float> || std::is_same_v<X, double>) {
                std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(x));
                return buffer;
            } else if constexpr (std::is_same_v<X, data::DateTime>) {
                std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", x.year,
                              x.month, x.day, x.hour, x.minute, x.second);
                std::string text = buffer;
                if (x.ticks != 0)
                    text += "+" + std::to_string(x.ticks) + " ticks";
                return text;
            } else if constexpr (std::is_same_v<X, std::string>) {
                if (x.size() <= shown)
                    return "\"" + x + "\"";
                return "\"" + x.substr(0, shown) + "…\" (" + std::to_string(x.size()) + " bytes)";
            } else if constexpr (std::is_same_v<X, data::Bytes>) {
                static constexpr char kDigits[] = "0123456789abcdef";
                std::string text = "bytes(" + std::to_string(x.data.size()) + ")";
                for (std::size_t i = 0; i < x.data.size() && i < shown; ++i) {
                    const auto byte = static_cast<unsigned char>(x.data[i]);
                    text += i == 0 ? ":" : "";
                    text += kDigits[byte >> 4];
                    text += kDigits[byte & 0xF];
                }
                return text + (x.data.size() > shown ? "…" : "");
            } else {
                return x.text;
            }
        },
        value);
}

} // namespace tw::test
