#include "AccessSqlParser.h"

#include <algorithm>
#include <utility>

// Expressions, loosest operators first, and the domain of a domain aggregate.

namespace tw::data::access {

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
    e.query = DomainQuery(e);
    return Node(std::move(e));
}

// For DLookup("expr", "domain", "criteria") and the other domain aggregates whose arguments are
// text literals: the domain as the query SELECT expr FROM domain WHERE criteria; null when the
// arguments are not literals or their text does not parse.
QueryPtr Parser::DomainQuery(const sql::Expr& call) {
    static const std::set<std::string> kDomain = {"dlookup", "dcount",  "dsum",   "davg",
                                                  "dmin",    "dmax",    "dfirst", "dlast",
                                                  "dstdev",  "dstdevp", "dvar",   "dvarp"};
    if (!kDomain.contains(AsciiLower(call.text)) || call.args.size() < 2 || call.args.size() > 3)
        return nullptr;
    for (const auto& arg : call.args)
        if (arg->kind != ExprKind::Literal || arg->literal != sql::LiteralType::Text)
            return nullptr;
    const auto sub_expression = [&](const std::string& text) -> ExprPtr {
        Nesting nesting(depth_);
        Parser inner(TokenizeAccessSql(text), depth_);
        return inner.WholeExpression();
    };
    try {
        sql::Select select;
        sql::SelectItem item;
        const std::string& expression = call.args[0]->text;
        if (expression.find_first_not_of(' ') != std::string::npos &&
            expression.substr(expression.find_first_not_of(' '), 1) == "*" &&
            expression.find_last_not_of(' ') == expression.find_first_not_of(' '))
            item.star = true;
        else
            item.expr = sub_expression(expression);
        select.items.push_back(std::move(item));
        std::string domain = call.args[1]->text;
        if (domain.size() >= 2 && domain.front() == '[' && domain.back() == ']')
            domain = domain.substr(1, domain.size() - 2);
        if (domain.empty() || domain.find_first_of("[]") != std::string::npos)
            return nullptr;
        sql::TableRef table;
        table.name = domain;
        select.from.push_back(MakeTableRef(std::move(table)));
        if (call.args.size() == 3)
            select.where = sub_expression(call.args[2]->text);
        sql::Query query;
        query.parts.push_back(std::move(select));
        return MakeQuery(std::move(query));
    } catch (const SqlRefused&) {
        return nullptr;
    }
}

} // namespace tw::data::access
