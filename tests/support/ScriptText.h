#pragma once

// The statements of a script file, without the lines before and after them that set up the
// loading session and give it back its settings (versioned comments, "/*!...").

#include <string>
#include <string_view>

namespace tw::test {

inline bool IsSessionLine(std::string_view line) {
    return line.substr(0, 3) == "/*!";
}

/// The script's text without its session lines (each line ends in CR LF).
inline std::string ScriptStatements(const std::string& script) {
    std::string kept;
    for (std::size_t start = 0; start < script.size();) {
        std::size_t end = script.find('\n', start);
        end = end == std::string::npos ? script.size() : end + 1;
        const std::string_view line(script.data() + start, end - start);
        if (!IsSessionLine(line))
            kept += line;
        start = end;
    }
    return kept;
}

} // namespace tw::test
