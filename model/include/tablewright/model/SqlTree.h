#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The syntax tree of an Access (Jet) SQL statement or expression, as the Access source parses
// it and a destination writes it out in its own dialect. Nodes are immutable once built and
// shared by pointer, so that a writer may use a subtree more than once.

namespace tw::sql {

struct Expr;
struct Query;
struct TableRef;
using ExprPtr = std::shared_ptr<const Expr>;
using QueryPtr = std::shared_ptr<const Query>;
using TableRefPtr = std::shared_ptr<const TableRef>;

/// The Access type of a literal.
enum class LiteralType { Number, Text, Date, Null, Boolean };

/// What an expression node is.
enum class ExprKind {
    /// A constant: Literal::type, text.
    Literal,
    /// A column [qualifier].[text]; qualifier empty when the name stands alone.
    Column,
    /// A value asked for when the query runs: a name declared in PARAMETERS, or a reference to a
    /// form, report or temporary variable ([Forms]![F]![C]); text is the name as written.
    Parameter,
    /// unary op args[0]
    Unary,
    /// args[0] binary op args[1]
    Binary,
    /// args[0] Is [Not] Null
    IsNull,
    /// args[0] [Not] Between args[1] And args[2]
    Between,
    /// args[0] [Not] In (args[1..]) or, with query set, In (SELECT ...)
    In,
    /// args[0] binary op text (ANY, SOME or ALL) (query)
    Quantified,
    /// Exists (query)
    Exists,
    /// A scalar subquery (query)
    Subquery,
    /// A function call text(args...); count_star for Count(*)
    Call,
    /// (args[0]) as written, kept because parentheses decide how a writer groups
    Paren,
};

/// Unary operators.
enum class UnaryOp { Negate, Plus, Not };

/// Binary operators, with Access's meaning (Concat is &, IntDivide is \, Power is ^).
enum class BinaryOp {
    Add,
    Subtract,
    Multiply,
    Divide,
    IntDivide,
    Mod,
    Power,
    Concat,
    Equal,
    NotEqual,
    Less,
    Greater,
    LessEqual,
    GreaterEqual,
    Like,
    ALike,
    And,
    Or,
    Xor,
    Eqv,
    Imp,
};

/// One expression node; which members matter depends on kind.
struct Expr {
    ExprKind kind = ExprKind::Literal;
    /// Literal: its Access type.
    LiteralType literal = LiteralType::Null;
    /// Literal: a number as written, a text's value, a date as "yyyy-mm-dd hh:mm:ss", "True" or
    /// "False"; Column: the column's name; Parameter: its name; Call: the function's name as
    /// written; Quantified: ANY, SOME or ALL (upper case).
    std::string text;
    /// Literal: the constant as written (#1/31/2020#, Yes, On); Column: the table or alias.
    std::string qualifier;
    UnaryOp unary = UnaryOp::Negate;
    BinaryOp binary = BinaryOp::Equal;
    /// Not Like, Not In, Not Between, Is Not Null.
    bool negated = false;
    /// Call: Count(*).
    bool count_star = false;
    /// The operands and arguments, in the order written.
    std::vector<ExprPtr> args;
    /// In, Quantified, Exists, Subquery: the query.
    QueryPtr query;
    /// The number of nodes on the longest path down from this one (1 for a leaf).
    int depth = 1;
};

/// How a join combines its sides.
enum class JoinKind { Inner, Left, Right, Plain };

/// What a FROM item is.
enum class TableRefKind { Table, Derived, Join, Paren };

/// One item of a FROM clause.
struct TableRef {
    TableRefKind kind = TableRefKind::Table;
    /// Table: the table's or query's name.
    std::string name;
    /// Table, Derived: the alias, empty when none.
    std::string alias;
    /// Table: the external database it is read from (IN '...' or [;DATABASE=...]), empty when
    /// the table is the file's own.
    std::string external;
    /// Derived: the subquery.
    QueryPtr query;
    /// Join.
    JoinKind join = JoinKind::Inner;
    TableRefPtr left;
    TableRefPtr right;
    ExprPtr on;
    /// Paren: the parenthesised join.
    TableRefPtr inner;
    /// The number of nodes on the longest path down from this one, expressions included.
    int depth = 1;
};

/// SELECT's ALL, DISTINCT or DISTINCTROW (None when not written).
enum class SetQuantifier { None, All, Distinct, DistinctRow };

/// One item of a select list: an expression with its alias, '*' or 'table.*'.
struct SelectItem {
    ExprPtr expr;
    bool star = false;
    /// The table of 'table.*'; empty for '*'.
    std::string star_table;
    std::optional<std::string> alias;
};

/// The sort direction as written.
enum class SortOrder { None, Asc, Desc };

struct OrderItem {
    ExprPtr expr;
    SortOrder order = SortOrder::None;
};

/// One SELECT (or TABLE t, which is SELECT * FROM t).
struct Select {
    /// TABLE t: table holds t and nothing else is set.
    bool table_form = false;
    std::string table;
    SetQuantifier quantifier = SetQuantifier::None;
    /// TOP n: n as written; top_percent for TOP n PERCENT.
    std::optional<std::string> top;
    bool top_percent = false;
    std::vector<SelectItem> items;
    /// SELECT ... INTO table (a make-table query), with the external database when written.
    std::optional<std::string> into;
    std::string into_external;
    std::vector<TableRefPtr> from;
    ExprPtr where;
    std::vector<ExprPtr> group_by;
    ExprPtr having;
};

/// A select or a union of selects, and the ORDER BY that follows them.
struct Query {
    std::vector<Select> parts;
    /// union_all[i] joins parts[i] and parts[i + 1]: UNION ALL when true, UNION when false.
    std::vector<bool> union_all;
    std::vector<OrderItem> order_by;
    /// The number of nodes on the longest path down from this one, expressions included.
    int depth = 1;
};

/// What a statement does.
enum class StatementKind { Select, Crosstab, Insert, Update, Delete, DataDefinition };

/// A parameter declared in PARAMETERS: its name and its type as written.
struct ParameterDecl {
    std::string name;
    std::string type;
};

/// column = value in UPDATE ... SET.
struct Assignment {
    ExprPtr column;
    ExprPtr value;
};

/// A whole statement; which members matter depends on kind.
struct Statement {
    StatementKind kind = StatementKind::Select;
    std::vector<ParameterDecl> parameters;
    /// Select (a make-table query has parts[0].into), Crosstab (its SELECT), Insert (the rows
    /// appended, unless values are given).
    QueryPtr query;
    /// Crosstab: TRANSFORM's aggregate, PIVOT's expression and its IN list (empty when none).
    ExprPtr transform;
    std::string transform_alias;
    ExprPtr pivot;
    std::vector<ExprPtr> pivot_in;
    /// Insert: the table appended to, its external database, the columns named (empty when
    /// none) and VALUES (empty when rows come from query).
    std::string target;
    std::string target_external;
    std::vector<std::string> columns;
    std::vector<ExprPtr> values;
    /// Update: the tables (UPDATE t1 INNER JOIN t2 ...) and assignments; Delete: FROM's tables
    /// and what is deleted as written ("*", "t.*", "t.a, t.b" or empty).
    std::vector<TableRefPtr> tables;
    std::vector<Assignment> assignments;
    std::string delete_what;
    /// Update, Delete: WHERE.
    ExprPtr where;
    /// DataDefinition: the statement's first word (CREATE, ALTER, DROP) in upper case.
    std::string definition;
    /// WITH OWNERACCESS OPTION was written.
    bool owner_access = false;
};

/// The tree as an S-expression on one line, for tests and logs.
std::string ToSExpr(const Expr& expr);
std::string ToSExpr(const Query& query);
std::string ToSExpr(const Statement& statement);

/// The tables and queries a statement or expression reads (FROM items, TABLE t, the table of
/// an action query, the domain of a domain aggregate with a literal domain), as written, in
/// the order they appear, repeats included.
std::vector<std::string> TableReferences(const Statement& statement);
std::vector<std::string> TableReferences(const Expr& expr);

/// A statement with other saved queries put in the place of their names.
struct InlinedStatement {
    Statement statement;
    /// Why it cannot be done (Chinese); empty when done.
    std::string refusal;
};

/// `statement` with each FROM item (and TABLE q) that names a query `source` gives a tree for
/// replaced by that query as a derived table known by the same name or alias, subqueries
/// included; the sources' PARAMETERS are declared after the statement's own, each name once.
/// For a select, crosstab or append statement reading saved select queries that ask for
/// values; refused when a parameter is declared with two types or a source is not a plain
/// select or union query.
InlinedStatement
InlineQueries(const Statement& statement,
              const std::function<const Statement*(const std::string& name)>& source);

} // namespace tw::sql
