#include "AccessSqlLexer.h"
#include "tablewright/access/AccessSql.h"

#include <algorithm>
#include <set>
#include <utility>

// Access SQL read by recursive descent with Access's operator precedence (VBA's): Imp, Eqv, Xor,
// Or, And, Not, comparisons (= <> < > <= >= Like Is In Between), &, + -, Mod, \, * /, unary -, ^.
// The parser builds the tree only; what a construct means in another dialect is the writer's
// business. Two bounds keep hostile text from exhausting the stack: the parser's own recursion
// (parentheses, unary operators, subqueries) and the depth of the tree it builds (long chains
// of binary operators and joins, which a writer walks recursively).

namespace tw::data::access {
namespace {

using sql::ExprKind;
using sql::ExprPtr;
using sql::QueryPtr;
using sql::TableRefPtr;

// Nested parentheses, unary operators, calls and subqueries.
constexpr int kMaxNesting = 64;
// Nodes from the root of a tree to its deepest leaf.
constexpr int kMaxDepth = 400;

// Words that are never names when bare.
bool IsReserved(std::string_view word) {
    static const std::set<std::string> kReserved = {
        "all",        "alike",    "and",         "any",   "as",     "asc",   "between", "by",
        "desc",       "distinct", "distinctrow", "eqv",   "exists", "false", "from",    "group",
        "having",     "imp",      "in",          "inner", "into",   "is",    "join",    "left",
        "like",       "mod",      "not",         "null",  "on",     "or",    "order",   "outer",
        "parameters", "percent",  "pivot",       "right", "select", "some",  "table",   "top",
        "transform",  "true",     "union",       "where", "with",   "xor"};
    return kReserved.count(AsciiLower(word)) > 0;
}

void CheckDepth(int depth) {
    if (depth > kMaxDepth)
        RefuseSql("嵌套层数过多");
}

ExprPtr Node(sql::Expr e) {
    int depth = 0;
    for (const auto& arg : e.args)
        depth = std::max(depth, arg->depth);
    if (e.query)
        depth = std::max(depth, e.query->depth);
    e.depth = depth + 1;
    CheckDepth(e.depth);
    return std::make_shared<const sql::Expr>(std::move(e));
}

ExprPtr Literal(sql::LiteralType type, std::string text, std::string written = {}) {
    sql::Expr e;
    e.kind = ExprKind::Literal;
    e.literal = type;
    e.text = std::move(text);
    e.qualifier = std::move(written);
    return Node(std::move(e));
}

ExprPtr Unary(sql::UnaryOp op, ExprPtr operand) {
    sql::Expr e;
    e.kind = ExprKind::Unary;
    e.unary = op;
    e.args = {std::move(operand)};
    return Node(std::move(e));
}

ExprPtr Binary(sql::BinaryOp op, ExprPtr left, ExprPtr right, bool negated = false) {
    sql::Expr e;
    e.kind = ExprKind::Binary;
    e.binary = op;
    e.negated = negated;
    e.args = {std::move(left), std::move(right)};
    return Node(std::move(e));
}

ExprPtr Column(std::string qualifier, std::string name) {
    sql::Expr e;
    e.kind = ExprKind::Column;
    e.qualifier = std::move(qualifier);
    e.text = std::move(name);
    return Node(std::move(e));
}

int DepthOf(const sql::ExprPtr& e) {
    return e ? e->depth : 0;
}

TableRefPtr MakeTableRef(sql::TableRef t) {
    int depth = 0;
    for (const auto* child : {&t.left, &t.right, &t.inner})
        if (*child)
            depth = std::max(depth, (*child)->depth);
    depth = std::max(depth, DepthOf(t.on));
    if (t.query)
        depth = std::max(depth, t.query->depth);
    t.depth = depth + 1;
    CheckDepth(t.depth);
    return std::make_shared<const sql::TableRef>(std::move(t));
}

QueryPtr MakeQuery(sql::Query q) {
    int depth = 0;
    for (const auto& part : q.parts) {
        for (const auto& item : part.items)
            depth = std::max(depth, DepthOf(item.expr));
        for (const auto& t : part.from)
            depth = std::max(depth, t->depth);
        depth = std::max({depth, DepthOf(part.where), DepthOf(part.having)});
        for (const auto& g : part.group_by)
            depth = std::max(depth, DepthOf(g));
    }
    for (const auto& item : q.order_by)
        depth = std::max(depth, DepthOf(item.expr));
    q.depth = depth + 2; // the query and its select
    CheckDepth(q.depth);
    return std::make_shared<const sql::Query>(std::move(q));
}

class Parser {
public:
    Parser(std::vector<Token> tokens, int depth) : tokens_(std::move(tokens)), depth_(depth) {}

    std::shared_ptr<const sql::Statement> Statement();
    ExprPtr WholeExpression();

    // For a validation rule: the column a comparison without a left side compares.
    std::optional<std::string> implied_column;

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

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    // The names PARAMETERS declares, lower-cased.
    std::set<std::string> parameters_;
};

std::shared_ptr<const sql::Statement> Parser::Statement() {
    if (Peek().kind == TokenKind::End)
        RefuseSql("空查询");
    auto statement = std::make_shared<sql::Statement>();
    if (AcceptKeyword("PARAMETERS"))
        Parameters(*statement);
    for (const char* definition : {"CREATE", "ALTER", "DROP"}) {
        if (AtKeyword(definition)) {
            // Data definition is not read further: no writer makes anything of it.
            statement->kind = sql::StatementKind::DataDefinition;
            statement->definition = definition;
            return statement;
        }
    }
    if (AcceptKeyword("TRANSFORM")) {
        statement->kind = sql::StatementKind::Crosstab;
        statement->transform = Expression();
        if (AcceptKeyword("AS"))
            statement->transform_alias = ExpectName();
        if (!AtKeyword("SELECT"))
            Unexpected();
        statement->query = QueryBody();
        ExpectKeyword("PIVOT");
        // Not a whole expression: PIVOT x IN (...) lists the columns, it does not compare x.
        statement->pivot = Concatenation();
        if (AcceptKeyword("IN")) {
            ExpectSymbol("(");
            for (bool first = true; first || AcceptSymbol(","); first = false)
                statement->pivot_in.push_back(Expression());
            ExpectSymbol(")");
        }
    } else if (AcceptKeyword("INSERT")) {
        statement->kind = sql::StatementKind::Insert;
        ExpectKeyword("INTO");
        statement->target = ExpectName();
        if (AcceptKeyword("IN")) {
            if (Peek().kind != TokenKind::String)
                Unexpected();
            statement->target_external = Next().text;
        }
        if (AcceptSymbol("(")) {
            for (bool first = true; first || AcceptSymbol(","); first = false) {
                std::string column = ExpectName();
                // t.c names the column c of the target
                if (AcceptSymbol(".") || AcceptSymbol("!"))
                    column = ExpectName();
                statement->columns.push_back(std::move(column));
            }
            ExpectSymbol(")");
        }
        if (AcceptKeyword("VALUES")) {
            ExpectSymbol("(");
            for (bool first = true; first || AcceptSymbol(","); first = false)
                statement->values.push_back(Expression());
            ExpectSymbol(")");
        } else if (AtKeyword("SELECT") || AtKeyword("TABLE")) {
            statement->query = QueryBody();
        } else {
            Unexpected();
        }
    } else if (AcceptKeyword("UPDATE")) {
        statement->kind = sql::StatementKind::Update;
        AcceptKeyword("DISTINCTROW");
        statement->tables = TableList();
        ExpectKeyword("SET");
        for (bool first = true; first || AcceptSymbol(","); first = false) {
            sql::Assignment assignment;
            if (!AtName())
                Unexpected();
            assignment.column = NameReference();
            ExpectSymbol("=");
            assignment.value = Expression();
            statement->assignments.push_back(std::move(assignment));
        }
        if (AcceptKeyword("WHERE"))
            statement->where = Expression();
    } else if (AcceptKeyword("DELETE")) {
        statement->kind = sql::StatementKind::Delete;
        AcceptKeyword("DISTINCTROW");
        if (AcceptSymbol("*")) {
            statement->delete_what = "*";
        } else if (AtName() && (AtSymbol(".", 1) || AtSymbol("!", 1)) && AtSymbol("*", 2)) {
            statement->delete_what = Next().text + ".*";
            Next();
            Next();
        } else if (!AtKeyword("FROM")) {
            // DELETE t.a, t.b FROM t: the fields name the table; whole rows are deleted.
            for (bool first = true; first || AcceptSymbol(","); first = false) {
                const ExprPtr field = NameReference();
                if (field->kind != ExprKind::Column)
                    Unexpected();
                statement->delete_what += (first ? "" : ", ") +
                                          (field->qualifier.empty() ? "" : field->qualifier + ".") +
                                          field->text;
            }
        }
        ExpectKeyword("FROM");
        statement->tables = TableList();
        if (AcceptKeyword("WHERE"))
            statement->where = Expression();
    } else if (AtKeyword("SELECT") || AtKeyword("TABLE")) {
        statement->query = QueryBody();
    } else {
        Unexpected();
    }
    EndOfStatement(*statement);
    return statement;
}

// PARAMETERS name type, ...; each name as its value is referred to, each type as written. A
// name may be bracketed ([Start Date]), a reference ([Forms]![F]![C]) or bare words with spaces
// (User Name Text): the type is the last word, with its size in parentheses.
void Parser::Parameters(sql::Statement& statement) {
    for (bool first = true; first || AcceptSymbol(","); first = false) {
        std::vector<Token> tokens;
        while (!AtSymbol(",") && !AtSymbol(";")) {
            if (Peek().kind == TokenKind::End)
                Unexpected();
            tokens.push_back(Next());
        }
        std::size_t type_at = tokens.size();
        if (!tokens.empty() && tokens.back().kind == TokenKind::Symbol &&
            tokens.back().text == ")") {
            while (type_at > 0 && tokens[type_at - 1].text != "(")
                --type_at;
            if (type_at > 0)
                --type_at;
        }
        if (type_at == 0 || tokens[type_at - 1].kind != TokenKind::Word)
            RefuseSql("PARAMETERS 中无法识别的参数声明");
        --type_at;
        if (type_at == 0)
            RefuseSql("PARAMETERS 中无法识别的参数声明");
        sql::ParameterDecl decl;
        for (std::size_t i = type_at; i < tokens.size(); ++i) {
            const std::string& text = tokens[i].text;
            if (!decl.type.empty() && text != ")" && text != "(" && decl.type.back() != '(')
                decl.type += ' ';
            decl.type += text;
        }
        const bool reference = std::any_of(tokens.begin(), tokens.begin() + type_at,
                                           [](const Token& t) { return t.text == "!"; });
        for (std::size_t i = 0; i < type_at; ++i) {
            const Token& token = tokens[i];
            if (token.kind == TokenKind::Symbol && (token.text == "!" || token.text == "."))
                continue;
            if (token.kind != TokenKind::Word && token.kind != TokenKind::Bracket)
                RefuseSql("PARAMETERS 中无法识别的参数声明");
            if (reference)
                decl.name += (decl.name.empty() ? "[" : "]![") + token.text;
            else
                decl.name += (decl.name.empty() ? "" : " ") + token.text;
        }
        if (reference)
            decl.name += "]";
        parameters_.insert(AsciiLower(decl.name));
        statement.parameters.push_back(std::move(decl));
    }
    ExpectSymbol(";");
}

void Parser::EndOfStatement(sql::Statement& statement) {
    // Only decides whose permissions the query runs with.
    if (AcceptKeyword("WITH")) {
        ExpectKeyword("OWNERACCESS");
        ExpectKeyword("OPTION");
        statement.owner_access = true;
    }
    AcceptSymbol(";");
    if (Peek().kind != TokenKind::End)
        Unexpected();
}

ExprPtr Parser::WholeExpression() {
    if (Peek().kind == TokenKind::End)
        RefuseSql("空表达式");
    ExprPtr e = Expression();
    if (Peek().kind != TokenKind::End)
        Unexpected();
    return e;
}

// A select or a union of selects, with the ORDER BY that follows them.
QueryPtr Parser::QueryBody() {
    Nesting nesting(depth_);
    sql::Query query;
    query.parts.push_back(Select());
    while (AcceptKeyword("UNION")) {
        query.union_all.push_back(AcceptKeyword("ALL"));
        query.parts.push_back(Select());
    }
    if (AtKeyword("ORDER"))
        query.order_by = OrderBy();
    return MakeQuery(std::move(query));
}

// The text of [SELECT ...]. AS alias, the form older Access versions save derived tables in.
QueryPtr Parser::BracketedQuery(const std::string& text) {
    Nesting nesting(depth_);
    Parser inner(TokenizeAccessSql(text), depth_);
    QueryPtr query = inner.QueryBody();
    inner.AcceptSymbol(";");
    if (inner.Peek().kind != TokenKind::End)
        inner.Unexpected();
    return query;
}

std::vector<sql::OrderItem> Parser::OrderBy() {
    ExpectKeyword("ORDER");
    ExpectKeyword("BY");
    std::vector<sql::OrderItem> items;
    for (bool first = true; first || AcceptSymbol(","); first = false) {
        sql::OrderItem item;
        item.expr = Expression();
        if (AcceptKeyword("DESC"))
            item.order = sql::SortOrder::Desc;
        else if (AcceptKeyword("ASC"))
            item.order = sql::SortOrder::Asc;
        items.push_back(std::move(item));
    }
    return items;
}

sql::Select Parser::Select() {
    sql::Select select;
    if (AcceptKeyword("TABLE")) { // TABLE t is SELECT * FROM t
        select.table_form = true;
        select.table = ExpectName();
        return select;
    }
    ExpectKeyword("SELECT");
    if (AcceptKeyword("ALL"))
        select.quantifier = sql::SetQuantifier::All;
    else if (AcceptKeyword("DISTINCT"))
        select.quantifier = sql::SetQuantifier::Distinct;
    else if (AcceptKeyword("DISTINCTROW"))
        select.quantifier = sql::SetQuantifier::DistinctRow;
    if (AcceptKeyword("TOP")) {
        const Token& count = Next();
        if (count.kind != TokenKind::Number ||
            !std::all_of(count.text.begin(), count.text.end(),
                         [](char c) { return c >= '0' && c <= '9'; }))
            RefuseSql("TOP 后不是整数");
        select.top = count.text;
        select.top_percent = AcceptKeyword("PERCENT");
    }
    select.items = SelectList();
    if (AcceptKeyword("INTO")) {
        select.into = ExpectName();
        if (AcceptKeyword("IN")) {
            if (Peek().kind != TokenKind::String)
                Unexpected();
            select.into_external = Next().text;
        }
    }
    if (AcceptKeyword("FROM"))
        select.from = TableList();
    if (AcceptKeyword("WHERE"))
        select.where = Expression();
    if (AcceptKeyword("GROUP")) {
        ExpectKeyword("BY");
        for (bool first = true; first || AcceptSymbol(","); first = false)
            select.group_by.push_back(Expression());
    }
    if (AcceptKeyword("HAVING"))
        select.having = Expression();
    return select;
}

std::vector<sql::SelectItem> Parser::SelectList() {
    std::vector<sql::SelectItem> items;
    do {
        sql::SelectItem item;
        if (AcceptSymbol("*")) {
            item.star = true;
        } else if (AtName() && (AtSymbol(".", 1) || AtSymbol("!", 1)) && AtSymbol("*", 2)) {
            item.star = true;
            item.star_table = Next().text;
            Next();
            Next();
        } else {
            item.expr = Expression();
            if (AcceptKeyword("AS"))
                item.alias = ExpectName();
        }
        items.push_back(std::move(item));
    } while (AcceptSymbol(","));
    return items;
}

std::vector<TableRefPtr> Parser::TableList() {
    std::vector<TableRefPtr> tables;
    for (bool first = true; first || AcceptSymbol(","); first = false)
        tables.push_back(TableReference());
    return tables;
}

// A table, a derived table or a parenthesised join, followed by any joins.
TableRefPtr Parser::TableReference() {
    TableRefPtr left = TablePrimary();
    for (;;) {
        sql::TableRef join;
        join.kind = sql::TableRefKind::Join;
        if (AcceptKeyword("INNER")) {
            join.join = sql::JoinKind::Inner;
        } else if (AtKeyword("LEFT") || AtKeyword("RIGHT")) {
            join.join = AtKeyword("LEFT") ? sql::JoinKind::Left : sql::JoinKind::Right;
            Next();
            AcceptKeyword("OUTER");
        } else if (AtKeyword("JOIN")) {
            join.join = sql::JoinKind::Plain;
        } else {
            return left;
        }
        ExpectKeyword("JOIN");
        join.left = std::move(left);
        join.right = TablePrimary();
        ExpectKeyword("ON");
        join.on = Expression();
        left = MakeTableRef(std::move(join));
    }
}

TableRefPtr Parser::TablePrimary() {
    Nesting nesting(depth_);
    sql::TableRef table;
    if (AcceptSymbol("(")) {
        if (AtKeyword("SELECT")) {
            table.kind = sql::TableRefKind::Derived;
            table.query = QueryBody();
            ExpectSymbol(")");
            AcceptKeyword("AS");
            table.alias = ExpectName();
            return MakeTableRef(std::move(table));
        }
        table.kind = sql::TableRefKind::Paren;
        table.inner = TableReference();
        ExpectSymbol(")");
        return MakeTableRef(std::move(table));
    }
    if (Peek().kind == TokenKind::Bracket && AtSymbol(".", 1)) {
        const std::string text = Peek().text;
        const std::string lower = AsciiLower(text);
        const std::size_t start = lower.find_first_not_of(" \t\r\n");
        if (!lower.empty() &&
            (lower.front() == ';' || lower.find("database=") != std::string::npos)) {
            // [;DATABASE=path].table
            Next();
            Next();
            table.external = text;
        } else if (start != std::string::npos && lower.compare(start, 6, "select") == 0) {
            Next();
            Next();
            table.kind = sql::TableRefKind::Derived;
            table.query = BracketedQuery(text);
            AcceptKeyword("AS");
            table.alias = ExpectName();
            return MakeTableRef(std::move(table));
        } else {
            RefuseSql("FROM 中的子查询（[…]. AS 写法）");
        }
    }
    table.name = ExpectName();
    if (AcceptKeyword("IN")) {
        if (Peek().kind != TokenKind::String)
            Unexpected();
        table.external = Next().text;
    }
    // An alias without AS; UPDATE t SET is no alias.
    if (AcceptKeyword("AS") || (AtName() && !AtKeyword("SET")))
        table.alias = ExpectName();
    return MakeTableRef(std::move(table));
}

ExprPtr Parser::Expression() {
    Nesting nesting(depth_);
    return Imp();
}

ExprPtr Parser::Imp() {
    ExprPtr left = Eqv();
    while (AcceptKeyword("IMP"))
        left = Binary(sql::BinaryOp::Imp, left, Eqv());
    return left;
}

ExprPtr Parser::Eqv() {
    ExprPtr left = Xor();
    while (AcceptKeyword("EQV"))
        left = Binary(sql::BinaryOp::Eqv, left, Xor());
    return left;
}

ExprPtr Parser::Xor() {
    ExprPtr left = Or();
    while (AcceptKeyword("XOR"))
        left = Binary(sql::BinaryOp::Xor, left, Or());
    return left;
}

ExprPtr Parser::Or() {
    ExprPtr left = And();
    while (AcceptKeyword("OR"))
        left = Binary(sql::BinaryOp::Or, left, And());
    return left;
}

ExprPtr Parser::And() {
    ExprPtr left = NotLevel();
    while (AcceptKeyword("AND"))
        left = Binary(sql::BinaryOp::And, left, NotLevel());
    return left;
}

ExprPtr Parser::NotLevel() {
    if (!AtImpliedComparison() && AcceptKeyword("NOT")) {
        Nesting nesting(depth_);
        return Unary(sql::UnaryOp::Not, NotLevel());
    }
    return Comparison();
}

ExprPtr Parser::Comparison() {
    ExprPtr left = AtImpliedComparison() ? Column("", *implied_column) : Concatenation();
    for (;;) {
        if (AtComparisonSymbol()) {
            const std::string op = Next().text;
            const sql::BinaryOp binary = op == "="    ? sql::BinaryOp::Equal
                                         : op == "<>" ? sql::BinaryOp::NotEqual
                                         : op == "<"  ? sql::BinaryOp::Less
                                         : op == ">"  ? sql::BinaryOp::Greater
                                         : op == "<=" ? sql::BinaryOp::LessEqual
                                                      : sql::BinaryOp::GreaterEqual;
            if (AtKeyword("ANY") || AtKeyword("SOME") || AtKeyword("ALL")) {
                sql::Expr e;
                e.kind = ExprKind::Quantified;
                e.binary = binary;
                const std::string quantifier = AsciiLower(Next().text);
                e.text = quantifier == "all" ? "ALL" : quantifier == "some" ? "SOME" : "ANY";
                e.args = {left};
                e.query = ParenthesisedQuery();
                left = Node(std::move(e));
            } else {
                left = Binary(binary, left, Concatenation());
            }
            continue;
        }
        bool negated = false;
        if (AtKeyword("NOT") && (AtKeyword("LIKE", 1) || AtKeyword("ALIKE", 1) ||
                                 AtKeyword("IN", 1) || AtKeyword("BETWEEN", 1))) {
            Next();
            negated = true;
        }
        if (AtKeyword("LIKE") || AtKeyword("ALIKE")) {
            const bool ansi = AtKeyword("ALIKE");
            Next();
            left = Binary(ansi ? sql::BinaryOp::ALike : sql::BinaryOp::Like, left, Concatenation(),
                          negated);
        } else if (AcceptKeyword("IN")) {
            sql::Expr e;
            e.kind = ExprKind::In;
            e.negated = negated;
            e.args = {left};
            ExpectSymbol("(");
            if (AtKeyword("SELECT")) {
                e.query = QueryBody();
            } else {
                for (bool first = true; first || AcceptSymbol(","); first = false)
                    e.args.push_back(Expression());
            }
            ExpectSymbol(")");
            left = Node(std::move(e));
        } else if (AcceptKeyword("BETWEEN")) {
            sql::Expr e;
            e.kind = ExprKind::Between;
            e.negated = negated;
            e.args = {left, Concatenation()};
            ExpectKeyword("AND");
            e.args.push_back(Concatenation());
            left = Node(std::move(e));
        } else if (negated) {
            Unexpected();
        } else if (AcceptKeyword("IS")) {
            sql::Expr e;
            e.kind = ExprKind::IsNull;
            e.negated = AcceptKeyword("NOT");
            ExpectKeyword("NULL");
            e.args = {left};
            left = Node(std::move(e));
        } else {
            return left;
        }
    }
}

// ( SELECT ... ) after Exists, Any, Some, All.
QueryPtr Parser::ParenthesisedQuery() {
    ExpectSymbol("(");
    if (!AtKeyword("SELECT"))
        Unexpected();
    QueryPtr query = QueryBody();
    ExpectSymbol(")");
    return query;
}

ExprPtr Parser::Concatenation() {
    ExprPtr left = Additive();
    while (AcceptSymbol("&"))
        left = Binary(sql::BinaryOp::Concat, left, Additive());
    return left;
}

ExprPtr Parser::Additive() {
    ExprPtr left = Modulo();
    while (AtSymbol("+") || AtSymbol("-")) {
        const bool minus = Next().text == "-";
        left = Binary(minus ? sql::BinaryOp::Subtract : sql::BinaryOp::Add, left, Modulo());
    }
    return left;
}

ExprPtr Parser::Modulo() {
    ExprPtr left = IntegerDivision();
    while (AcceptKeyword("MOD"))
        left = Binary(sql::BinaryOp::Mod, left, IntegerDivision());
    return left;
}

ExprPtr Parser::IntegerDivision() {
    ExprPtr left = Multiplicative();
    while (AcceptSymbol("\\"))
        left = Binary(sql::BinaryOp::IntDivide, left, Multiplicative());
    return left;
}

ExprPtr Parser::Multiplicative() {
    ExprPtr left = UnaryLevel();
    while (AtSymbol("*") || AtSymbol("/")) {
        const bool divide = Next().text == "/";
        left = Binary(divide ? sql::BinaryOp::Divide : sql::BinaryOp::Multiply, left, UnaryLevel());
    }
    return left;
}

ExprPtr Parser::UnaryLevel() {
    if (AcceptSymbol("-")) {
        Nesting nesting(depth_);
        return Unary(sql::UnaryOp::Negate, UnaryLevel());
    }
    if (AcceptSymbol("+")) {
        Nesting nesting(depth_);
        return Unary(sql::UnaryOp::Plus, UnaryLevel());
    }
    return Power();
}

ExprPtr Parser::Power() {
    ExprPtr left = Primary();
    while (AcceptSymbol("^")) {
        // The exponent may carry its own sign: 2^-1.
        ExprPtr right = AcceptSymbol("-") ? Unary(sql::UnaryOp::Negate, Primary()) : Primary();
        left = Binary(sql::BinaryOp::Power, left, right);
    }
    return left;
}

ExprPtr Parser::Primary() {
    const Token& token = Peek();
    switch (token.kind) {
    case TokenKind::Number:
        return Literal(sql::LiteralType::Number, Next().text);
    case TokenKind::String:
        return Literal(sql::LiteralType::Text, Next().text);
    case TokenKind::Date: {
        const std::optional<std::string> date = AccessDate(token.text);
        if (!date)
            RefuseSql("无法识别的日期 '#" + token.text + "#'");
        return Literal(sql::LiteralType::Date, *date, "#" + Next().text + "#");
    }
    case TokenKind::Symbol:
        if (AcceptSymbol("(")) {
            sql::Expr e;
            if (AtKeyword("SELECT")) {
                e.kind = ExprKind::Subquery;
                e.query = QueryBody();
            } else {
                e.kind = ExprKind::Paren;
                e.args = {Expression()};
            }
            ExpectSymbol(")");
            return Node(std::move(e));
        }
        Unexpected();
    case TokenKind::Word: {
        if (AcceptKeyword("NULL"))
            return Literal(sql::LiteralType::Null, "Null", "Null");
        // True, False and their synonyms Yes, No, On, Off (a bare word, not a call or a table).
        const std::string word = AsciiLower(token.text);
        const bool truth = word == "true" || word == "yes" || word == "on";
        if (word == "true" || word == "false" ||
            ((truth || word == "no" || word == "off") && !AtSymbol("(", 1) && !AtSymbol(".", 1) &&
             !AtSymbol("!", 1)))
            return Literal(sql::LiteralType::Boolean, truth ? "True" : "False", Next().text);
        if (AcceptKeyword("NOT")) {
            Nesting nesting(depth_);
            return Unary(sql::UnaryOp::Not, Comparison());
        }
        if (AcceptKeyword("EXISTS")) {
            sql::Expr e;
            e.kind = ExprKind::Exists;
            e.query = ParenthesisedQuery();
            return Node(std::move(e));
        }
        // Left and Right are functions as well as joins.
        if (AtSymbol("(", 1) &&
            (!IsReserved(token.text) || AtKeyword("LEFT") || AtKeyword("RIGHT")))
            return FunctionCall();
        if (IsReserved(token.text))
            Unexpected();
        return NameReference();
    }
    case TokenKind::Bracket:
        return NameReference();
    case TokenKind::End:
        break;
    }
    Unexpected();
}

// field, table.field, [table].[field], table!field, [Forms]![F]![C], a declared parameter
ExprPtr Parser::NameReference() {
    std::vector<std::string> parts{Next().text};
    while (AtSymbol(".") || AtSymbol("!")) {
        Next();
        if (Peek().kind != TokenKind::Word && Peek().kind != TokenKind::Bracket)
            Unexpected();
        parts.push_back(Next().text);
    }
    std::string written;
    for (const auto& part : parts)
        written += (written.empty() ? "[" : "]![") + part;
    written += "]";
    const std::string root = AsciiLower(parts[0]);
    const std::string declared = parts.size() == 1 ? parts[0] : written;
    if ((parts.size() > 1 &&
         (root == "forms" || root == "reports" || root == "screen" || root == "tempvars")) ||
        parameters_.contains(AsciiLower(declared))) {
        sql::Expr e;
        e.kind = ExprKind::Parameter;
        e.text = declared;
        return Node(std::move(e));
    }
    if (parts.size() > 2)
        RefuseSql("无法识别的名称 '" + written + "'");
    if (parts.size() == 2)
        return Column(parts[0], parts[1]);
    return Column("", parts[0]);
}

ExprPtr Parser::FunctionCall() {
    Nesting nesting(depth_);
    sql::Expr e;
    e.kind = ExprKind::Call;
    e.text = Next().text;
    ExpectSymbol("(");
    if (AtSymbol("*") && AtSymbol(")", 1) && AsciiLower(e.text) == "count") {
        Next();
        e.count_star = true;
    } else if (!AtSymbol(")")) {
        do
            e.args.push_back(Expression());
        while (AcceptSymbol(","));
    }
    ExpectSymbol(")");
    return Node(std::move(e));
}

template <typename Result, typename Parse> Result Run(std::string_view text, Parse parse) {
    Result result;
    try {
        Parser parser(TokenizeAccessSql(text), 0);
        result.tree = parse(parser);
    } catch (const SqlRefused& refused) {
        result.tree = nullptr;
        result.refusal = refused.what;
    }
    return result;
}

} // namespace
} // namespace tw::data::access

namespace tw::data {

ParsedStatement ParseAccessQuery(std::string_view text) {
    return access::Run<ParsedStatement>(text,
                                        [](access::Parser& parser) { return parser.Statement(); });
}

ParsedExpression ParseAccessExpression(std::string_view text) {
    return access::Run<ParsedExpression>(
        text, [](access::Parser& parser) { return parser.WholeExpression(); });
}

ParsedExpression ParseAccessValidationRule(std::string_view text, std::string_view column) {
    return access::Run<ParsedExpression>(text, [&](access::Parser& parser) {
        parser.implied_column = std::string(column);
        return parser.WholeExpression();
    });
}

} // namespace tw::data
