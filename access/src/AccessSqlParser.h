#pragma once

#include "AccessSqlLexer.h"
#include "tablewright/model/SqlTree.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The parser of Access SQL, shared by its files: statements, queries and FROM clauses
// (AccessSqlParser.cpp) and expressions (AccessSqlExpressionParser.cpp).
//
// Access SQL is read by recursive descent with Access's operator precedence (VBA's): Imp, Eqv,
// Xor, Or, And, Not, comparisons (= <> < > <= >= Like Is In Between), &, + -, Mod, \, * /,
// unary -, ^. The parser builds the tree only; what a construct means in another dialect is the
// writer's business. Two bounds keep hostile text from exhausting the stack: the parser's own
// recursion (parentheses, unary operators, subqueries) and the depth of the tree it builds (long
// chains of binary operators and joins, which a writer walks recursively).

namespace tw::data::access {

using sql::ExprKind;
using sql::ExprPtr;
using sql::QueryPtr;
using sql::TableRefPtr;

/// Nested parentheses, unary operators, calls and subqueries.
constexpr int kMaxNesting = 64;
/// Nodes from the root of a tree to its deepest leaf.
constexpr int kMaxDepth = 400;

/// Words that are never names when bare.
bool IsReserved(std::string_view word);
/// Refuses a tree deeper than kMaxDepth.
void CheckDepth(int depth);
/// The node, its depth worked out from its children's.
ExprPtr Node(sql::Expr e);
ExprPtr Literal(sql::LiteralType type, std::string text, std::string written = {});
ExprPtr Unary(sql::UnaryOp op, ExprPtr operand);
ExprPtr Binary(sql::BinaryOp op, ExprPtr left, ExprPtr right, bool negated = false);
ExprPtr Column(std::string qualifier, std::string name);
TableRefPtr MakeTableRef(sql::TableRef t);
QueryPtr MakeQuery(sql::Query q);

/// Reads one statement or expression from its tokens.
class Parser {
public:
    Parser(std::vector<Token> tokens, int depth) : tokens_(std::move(tokens)), depth_(depth) {}

    std::shared_ptr<const sql::Statement> Statement();
    ExprPtr WholeExpression();

    // For a validation rule: the column a comparison without a left side compares.
    std::optional<std::string> implied_column;
    // For a default value or other expression on its own: a leading '=' is skipped (="x").
    bool leading_equals = false;

private:
    // Counts nesting, so that deeply nested text is refused instead of exhausting the stack.
    class Nesting {
    public:
        explicit Nesting(int& depth) : depth_(depth) {
            if (++depth_ > kMaxNesting)
                RefuseSql("嵌套层数过多");
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        int& depth_;
    };

    const Token& Peek(std::size_t ahead = 0) const {
        const std::size_t i = std::min(pos_ + ahead, tokens_.size() - 1);
        return tokens_[i];
    }
    const Token& Next() {
        const Token& token = tokens_[pos_];
        if (pos_ + 1 < tokens_.size())
            ++pos_;
        return token;
    }
    bool AtKeyword(std::string_view word, std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Word && IEquals(token.text, word);
    }
    bool AcceptKeyword(std::string_view word) {
        if (!AtKeyword(word))
            return false;
        Next();
        return true;
    }
    void ExpectKeyword(std::string_view word) {
        if (!AcceptKeyword(word))
            Unexpected();
    }
    bool AtSymbol(std::string_view symbol, std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Symbol && token.text == symbol;
    }
    bool AcceptSymbol(std::string_view symbol) {
        if (!AtSymbol(symbol))
            return false;
        Next();
        return true;
    }
    void ExpectSymbol(std::string_view symbol) {
        if (!AcceptSymbol(symbol))
            Unexpected();
    }
    // A name or alias: a bracketed name or a bare word that is not a keyword.
    bool AtName(std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Bracket ||
               (token.kind == TokenKind::Word && !IsReserved(token.text));
    }
    std::string ExpectName() {
        if (!AtName())
            Unexpected();
        return Next().text;
    }
    [[noreturn]] void Unexpected() const {
        if (Peek().kind == TokenKind::End)
            RefuseSql("语句不完整");
        RefuseSql("无法解析 '" + Describe(Peek()) + "' 处的写法");
    }
    bool AtComparisonSymbol() const {
        const Token& token = Peek();
        return token.kind == TokenKind::Symbol &&
               (token.text == "=" || token.text == "<>" || token.text == "<" || token.text == ">" ||
                token.text == "<=" || token.text == ">=");
    }
    // At an operator that needs a left side, where a validation rule implies its column.
    bool AtImpliedComparison() const {
        return implied_column &&
               (AtComparisonSymbol() || AtKeyword("LIKE") || AtKeyword("ALIKE") ||
                AtKeyword("IN") || AtKeyword("BETWEEN") || AtKeyword("IS") ||
                (AtKeyword("NOT") && (AtKeyword("LIKE", 1) || AtKeyword("ALIKE", 1) ||
                                      AtKeyword("IN", 1) || AtKeyword("BETWEEN", 1))));
    }

    void Parameters(sql::Statement& statement);
    void EndOfStatement(sql::Statement& statement);
    QueryPtr QueryBody();
    QueryPtr BracketedQuery(const std::string& text);
    sql::Select Select();
    std::vector<sql::SelectItem> SelectList();
    std::vector<sql::OrderItem> OrderBy();
    std::vector<TableRefPtr> TableList();
    TableRefPtr TableReference();
    TableRefPtr TablePrimary();

    ExprPtr Expression();
    ExprPtr Imp();
    ExprPtr Eqv();
    ExprPtr Xor();
    ExprPtr Or();
    ExprPtr And();
    ExprPtr NotLevel();
    ExprPtr Comparison();
    ExprPtr Concatenation();
    ExprPtr Additive();
    ExprPtr Modulo();
    ExprPtr IntegerDivision();
    ExprPtr Multiplicative();
    ExprPtr UnaryLevel();
    ExprPtr Power();
    ExprPtr Primary();
    ExprPtr NameReference();
    ExprPtr FunctionCall();
    QueryPtr ParenthesisedQuery();
    QueryPtr DomainQuery(const sql::Expr& call);

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    // The names PARAMETERS declares, lower-cased.
    std::set<std::string> parameters_;
};

} // namespace tw::data::access
