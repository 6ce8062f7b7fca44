#include "tablewright/model/SqlTree.h"

#include "tablewright/model/Text.h"

#include <algorithm>
#include <string_view>

namespace tw::sql {

namespace {

// A name or text between double quotes, a quote inside doubled.
std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

const char* BinaryName(BinaryOp op) {
    switch (op) {
    case BinaryOp::Add:
        return "+";
    case BinaryOp::Subtract:
        return "-";
    case BinaryOp::Multiply:
        return "*";
    case BinaryOp::Divide:
        return "/";
    case BinaryOp::IntDivide:
        return "\\";
    case BinaryOp::Mod:
        return "mod";
    case BinaryOp::Power:
        return "^";
    case BinaryOp::Concat:
        return "&";
    case BinaryOp::Equal:
        return "=";
    case BinaryOp::NotEqual:
        return "<>";
    case BinaryOp::Less:
        return "<";
    case BinaryOp::Greater:
        return ">";
    case BinaryOp::LessEqual:
        return "<=";
    case BinaryOp::GreaterEqual:
        return ">=";
    case BinaryOp::Like:
        return "like";
    case BinaryOp::ALike:
        return "alike";
    case BinaryOp::And:
        return "and";
    case BinaryOp::Or:
        return "or";
    case BinaryOp::Xor:
        return "xor";
    case BinaryOp::Eqv:
        return "eqv";
    case BinaryOp::Imp:
        return "imp";
    }
    return "?";
}

void Print(std::string& out, const Expr& e);
void Print(std::string& out, const Query& q);

void PrintArgs(std::string& out, const std::vector<ExprPtr>& args, std::size_t from = 0) {
    for (std::size_t i = from; i < args.size(); ++i) {
        out += ' ';
        Print(out, *args[i]);
    }
}

void Print(std::string& out, const Expr& e) {
    switch (e.kind) {
    case ExprKind::Literal:
        switch (e.literal) {
        case LiteralType::Number:
            out += "(num " + e.text + ")";
            return;
        case LiteralType::Text:
            out += "(text " + Quote(e.text) + ")";
            return;
        case LiteralType::Date:
            out += "(date " + Quote(e.text) + ")";
            return;
        case LiteralType::Null:
            out += "null";
            return;
        case LiteralType::Boolean:
            out += e.text == "True" ? "true" : "false";
            return;
        }
        return;
    case ExprKind::Column:
        out += "(col ";
        if (!e.qualifier.empty())
            out += Quote(e.qualifier) + " ";
        out += Quote(e.text) + ")";
        return;
    case ExprKind::Parameter:
        out += "(param " + Quote(e.text) + ")";
        return;
    case ExprKind::Unary:
        out += e.unary == UnaryOp::Negate ? "(neg " : e.unary == UnaryOp::Plus ? "(plus " : "(not ";
        Print(out, *e.args[0]);
        out += ")";
        return;
    case ExprKind::Binary:
        out += "(";
        if (e.negated)
            out += "not-";
        out += BinaryName(e.binary);
        PrintArgs(out, e.args);
        out += ")";
        return;
    case ExprKind::IsNull:
        out += e.negated ? "(is-not-null" : "(is-null";
        PrintArgs(out, e.args);
        out += ")";
        return;
    case ExprKind::Between:
        out += e.negated ? "(not-between" : "(between";
        PrintArgs(out, e.args);
        out += ")";
        return;
    case ExprKind::In:
        out += e.negated ? "(not-in" : "(in";
        PrintArgs(out, e.args);
        if (e.query) {
            out += ' ';
            Print(out, *e.query);
        }
        out += ")";
        return;
    case ExprKind::Quantified:
        out += std::string("(") + BinaryName(e.binary) + " ";
        Print(out, *e.args[0]);
        out += " " + e.text + " ";
        Print(out, *e.query);
        out += ")";
        return;
    case ExprKind::Exists:
        out += "(exists ";
        Print(out, *e.query);
        out += ")";
        return;
    case ExprKind::Subquery:
        out += "(subquery ";
        Print(out, *e.query);
        out += ")";
        return;
    case ExprKind::Call:
        out += "(call " + e.text;
        if (e.count_star)
            out += " *";
        PrintArgs(out, e.args);
        if (e.query) { // a domain aggregate's domain
            out += " (domain ";
            Print(out, *e.query);
            out += ")";
        }
        out += ")";
        return;
    case ExprKind::Paren:
        out += "(paren ";
        Print(out, *e.args[0]);
        out += ")";
        return;
    }
}

void Print(std::string& out, const TableRef& t) {
    switch (t.kind) {
    case TableRefKind::Table:
        out += "(table " + Quote(t.name);
        if (!t.alias.empty())
            out += " as " + Quote(t.alias);
        if (!t.external.empty())
            out += " in " + Quote(t.external);
        out += ")";
        return;
    case TableRefKind::Derived:
        out += "(derived ";
        Print(out, *t.query);
        out += " as " + Quote(t.alias) + ")";
        return;
    case TableRefKind::Join:
        out += t.join == JoinKind::Inner   ? "(inner-join "
               : t.join == JoinKind::Left  ? "(left-join "
               : t.join == JoinKind::Right ? "(right-join "
                                           : "(join ";
        Print(out, *t.left);
        out += ' ';
        Print(out, *t.right);
        out += ' ';
        Print(out, *t.on);
        out += ")";
        return;
    case TableRefKind::Paren:
        out += "(paren ";
        Print(out, *t.inner);
        out += ")";
        return;
    }
}

void PrintTables(std::string& out, const char* head, const std::vector<TableRefPtr>& tables) {
    if (tables.empty())
        return;
    out += std::string(" (") + head;
    for (const auto& t : tables) {
        out += ' ';
        Print(out, *t);
    }
    out += ")";
}

void Print(std::string& out, const Select& s) {
    if (s.table_form) {
        out += "(table-select " + Quote(s.table) + ")";
        return;
    }
    out += "(select";
    switch (s.quantifier) {
    case SetQuantifier::None:
        break;
    case SetQuantifier::All:
        out += " all";
        break;
    case SetQuantifier::Distinct:
        out += " distinct";
        break;
    case SetQuantifier::DistinctRow:
        out += " distinctrow";
        break;
    }
    if (s.top)
        out += " (top " + *s.top + (s.top_percent ? " percent)" : ")");
    out += " (items";
    for (const auto& item : s.items) {
        out += ' ';
        if (item.star) {
            out += item.star_table.empty() ? "*" : Quote(item.star_table) + ".*";
            continue;
        }
        if (item.alias)
            out += "(as ";
        Print(out, *item.expr);
        if (item.alias)
            out += " " + Quote(*item.alias) + ")";
    }
    out += ")";
    if (s.into) {
        out += " (into " + Quote(*s.into);
        if (!s.into_external.empty())
            out += " in " + Quote(s.into_external);
        out += ")";
    }
    PrintTables(out, "from", s.from);
    if (s.where) {
        out += " (where ";
        Print(out, *s.where);
        out += ")";
    }
    if (!s.group_by.empty()) {
        out += " (group-by";
        PrintArgs(out, s.group_by);
        out += ")";
    }
    if (s.having) {
        out += " (having ";
        Print(out, *s.having);
        out += ")";
    }
    out += ")";
}

void Print(std::string& out, const Query& q) {
    const bool wrapped = q.parts.size() > 1 || !q.order_by.empty();
    if (wrapped)
        out += "(query ";
    for (std::size_t i = 0; i < q.parts.size(); ++i) {
        if (i > 0)
            out += q.union_all[i - 1] ? " union-all " : " union ";
        Print(out, q.parts[i]);
    }
    if (!q.order_by.empty()) {
        out += " (order-by";
        for (const auto& item : q.order_by) {
            out += ' ';
            if (item.order != SortOrder::None)
                out += item.order == SortOrder::Desc ? "(desc " : "(asc ";
            Print(out, *item.expr);
            if (item.order != SortOrder::None)
                out += ")";
        }
        out += ")";
    }
    if (wrapped)
        out += ")";
}

// Collects the names a tree reads, in the order written.
class References {
public:
    std::vector<std::string> names;

    void Add(const Expr& e) {
        for (const auto& arg : e.args)
            Add(*arg);
        if (e.query)
            Add(*e.query);
    }
    void Add(const TableRef& t) {
        switch (t.kind) {
        case TableRefKind::Table:
            names.push_back(t.name);
            return;
        case TableRefKind::Derived:
            Add(*t.query);
            return;
        case TableRefKind::Join:
            Add(*t.left);
            Add(*t.right);
            Add(*t.on);
            return;
        case TableRefKind::Paren:
            Add(*t.inner);
            return;
        }
    }
    void Add(const Select& s) {
        if (s.table_form) {
            names.push_back(s.table);
            return;
        }
        for (const auto& item : s.items)
            if (item.expr)
                Add(*item.expr);
        for (const auto& t : s.from)
            Add(*t);
        if (s.where)
            Add(*s.where);
        for (const auto& g : s.group_by)
            Add(*g);
        if (s.having)
            Add(*s.having);
    }
    void Add(const Query& q) {
        for (const auto& part : q.parts)
            Add(part);
        for (const auto& item : q.order_by)
            Add(*item.expr);
    }
};

} // namespace

std::string ToSExpr(const Expr& expr) {
    std::string out;
    Print(out, expr);
    return out;
}

std::string ToSExpr(const Query& query) {
    std::string out;
    Print(out, query);
    return out;
}

std::string ToSExpr(const Statement& s) {
    std::string out = "(";
    switch (s.kind) {
    case StatementKind::Select:
        out += "select-statement";
        break;
    case StatementKind::Crosstab:
        out += "crosstab";
        break;
    case StatementKind::Insert:
        out += "insert";
        break;
    case StatementKind::Update:
        out += "update";
        break;
    case StatementKind::Delete:
        out += "delete";
        break;
    case StatementKind::DataDefinition:
        out += "definition " + s.definition;
        break;
    }
    if (!s.parameters.empty()) {
        out += " (parameters";
        for (const auto& p : s.parameters)
            out += " (" + Quote(p.name) + (p.type.empty() ? "" : " " + p.type) + ")";
        out += ")";
    }
    if (s.kind == StatementKind::Crosstab) {
        out += " (transform ";
        Print(out, *s.transform);
        if (!s.transform_alias.empty())
            out += " as " + Quote(s.transform_alias);
        out += ")";
    }
    if (s.kind == StatementKind::Insert) {
        out += " (into " + Quote(s.target);
        if (!s.target_external.empty())
            out += " in " + Quote(s.target_external);
        for (const auto& c : s.columns)
            out += " " + Quote(c);
        out += ")";
        if (!s.query) {
            out += " (values";
            PrintArgs(out, s.values);
            out += ")";
        }
    }
    if (s.kind == StatementKind::Delete && !s.delete_what.empty())
        out += " (what " + Quote(s.delete_what) + ")";
    PrintTables(out, s.kind == StatementKind::Update ? "tables" : "from", s.tables);
    if (!s.assignments.empty()) {
        out += " (set";
        for (const auto& a : s.assignments) {
            out += " (";
            Print(out, *a.column);
            out += ' ';
            Print(out, *a.value);
            out += ")";
        }
        out += ")";
    }
    if (s.query) {
        out += ' ';
        Print(out, *s.query);
    }
    if (s.where) {
        out += " (where ";
        Print(out, *s.where);
        out += ")";
    }
    if (s.kind == StatementKind::Crosstab) {
        out += " (pivot ";
        Print(out, *s.pivot);
        if (!s.pivot_in.empty()) {
            out += " (in";
            PrintArgs(out, s.pivot_in);
            out += ")";
        }
        out += ")";
    }
    if (s.owner_access)
        out += " owneraccess";
    return out + ")";
}

std::vector<std::string> TableReferences(const Statement& s) {
    References refs;
    if (s.transform)
        refs.Add(*s.transform);
    if (!s.target.empty())
        refs.names.push_back(s.target);
    for (const auto& v : s.values)
        refs.Add(*v);
    for (const auto& t : s.tables)
        refs.Add(*t);
    for (const auto& a : s.assignments) {
        refs.Add(*a.column);
        refs.Add(*a.value);
    }
    if (s.query)
        refs.Add(*s.query);
    if (s.where)
        refs.Add(*s.where);
    if (s.pivot)
        refs.Add(*s.pivot);
    for (const auto& v : s.pivot_in)
        refs.Add(*v);
    return refs.names;
}

std::vector<std::string> TableReferences(const Expr& expr) {
    References refs;
    refs.Add(expr);
    return refs.names;
}

namespace {

// Rebuilds a tree with the queries `source` gives in place of their names.
class Inliner {
public:
    explicit Inliner(const std::function<const Statement*(const std::string&)>& source)
        : source_(source) {}

    std::vector<const Statement*> used;
    std::string refusal;

    ExprPtr Expr(const ExprPtr& e) {
        if (!e)
            return e;
        auto copy = std::make_shared<sql::Expr>(*e);
        for (auto& arg : copy->args)
            arg = Expr(arg);
        copy->query = Query(e->query);
        return copy;
    }
    QueryPtr Query(const QueryPtr& q) {
        if (!q)
            return q;
        auto copy = std::make_shared<sql::Query>(*q);
        for (auto& part : copy->parts)
            Select(part);
        for (auto& item : copy->order_by)
            item.expr = Expr(item.expr);
        return copy;
    }
    TableRefPtr Table(const TableRefPtr& t) {
        if (!t)
            return t;
        auto copy = std::make_shared<TableRef>(*t);
        if (t->kind == TableRefKind::Table && t->external.empty()) {
            if (const Statement* found = Source(t->name)) {
                copy->kind = TableRefKind::Derived;
                copy->query = found->query;
                copy->alias = t->alias.empty() ? t->name : t->alias;
                copy->name.clear();
            }
        }
        copy->left = Table(t->left);
        copy->right = Table(t->right);
        copy->inner = Table(t->inner);
        copy->on = Expr(t->on);
        if (t->kind == TableRefKind::Derived)
            copy->query = Query(t->query);
        return copy;
    }
    void Select(sql::Select& s) {
        if (s.table_form) {
            if (const Statement* found = Source(s.table)) {
                auto derived = std::make_shared<TableRef>();
                derived->kind = TableRefKind::Derived;
                derived->query = found->query;
                derived->alias = s.table;
                s = sql::Select{};
                s.items.push_back(SelectItem{nullptr, true, {}, std::nullopt});
                s.from.push_back(derived);
            }
            return;
        }
        for (auto& item : s.items)
            item.expr = Expr(item.expr);
        for (auto& t : s.from)
            t = Table(t);
        s.where = Expr(s.where);
        for (auto& g : s.group_by)
            g = Expr(g);
        s.having = Expr(s.having);
    }

private:
    const Statement* Source(const std::string& name) {
        const Statement* found = source_(name);
        if (!found)
            return nullptr;
        if (found->kind != StatementKind::Select || !found->query ||
            (!found->query->parts.empty() && found->query->parts.front().into)) {
            refusal = "读取的查询 '" + name + "' 不是选择查询或联合查询";
            return nullptr;
        }
        used.push_back(found);
        return found;
    }

    const std::function<const Statement*(const std::string&)>& source_;
};

std::string TypeKey(const std::string& type) {
    std::string key;
    for (const char c : data::AsciiLower(type))
        if (c != ' ')
            key += c;
    return key;
}

} // namespace

InlinedStatement
InlineQueries(const Statement& statement,
              const std::function<const Statement*(const std::string& name)>& source) {
    InlinedStatement result{statement, {}};
    Inliner inliner(source);
    Statement& s = result.statement;
    s.query = inliner.Query(statement.query);
    s.transform = inliner.Expr(statement.transform);
    s.pivot = inliner.Expr(statement.pivot);
    for (auto& v : s.values)
        v = inliner.Expr(v);
    for (auto& v : s.pivot_in)
        v = inliner.Expr(v);
    result.refusal = inliner.refusal;
    // A name declared in both with the same type is asked for once, as Access does.
    for (const Statement* used : inliner.used)
        for (const auto& declared : used->parameters) {
            const auto same = std::find_if(
                s.parameters.begin(), s.parameters.end(), [&](const ParameterDecl& known) {
                    return data::Utf8ToLower(known.name) == data::Utf8ToLower(declared.name);
                });
            if (same == s.parameters.end())
                s.parameters.push_back(declared);
            else if (TypeKey(same->type) != TypeKey(declared.type) && result.refusal.empty())
                result.refusal = "参数 '" + declared.name + "' 在两个查询中声明的类型不同";
        }
    return result;
}

} // namespace tw::sql
