#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The tokens of Access SQL text, for the parser (AccessSqlParser.cpp).

namespace tw::data::access {

/// Stops the parse of a statement; carries the refusal text.
struct SqlRefused {
    std::string what;
};

/// Throws SqlRefused with `what`.
[[noreturn]] void RefuseSql(std::string what);

enum class TokenKind { End, Word, Bracket, String, Date, Number, Symbol };

/// One token.
struct Token {
    TokenKind kind = TokenKind::End;
    /// Word and Number as written; Bracket and Date without their delimiters; String its value;
    /// Symbol the operator or punctuation.
    std::string text;
};

/// The token as the query writes it, for messages.
std::string Describe(const Token& token);

/// The tokens of `sql`, ending with one of kind End; refuses text that is not UTF-8, too
/// long, or holds an unfinished string, date or bracketed name or an unknown character.
std::vector<Token> TokenizeAccessSql(std::string_view sql);

/// An Access date literal's text (m/d/y, y-m-d, with or without a time) as
/// "yyyy-mm-dd hh:mm:ss"; a time alone falls on 1899-12-30, the day Access counts from.
std::optional<std::string> AccessDate(std::string_view text);

/// ASCII lower case.
std::string AsciiLower(std::string_view text);

/// Equal without ASCII case.
bool IEquals(std::string_view a, std::string_view b);

} // namespace tw::data::access
