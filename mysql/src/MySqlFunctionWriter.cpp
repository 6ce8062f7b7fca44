#include "MySqlSqlWriterInternals.h"

#include <cctype>
#include <string>
#include <utility>

// Access's functions: those with a MySQL twin, those written in another form, and those refused
// because no MySQL form gives the same values.

namespace tw::data::sqlwriter {

namespace {

// Functions that keep their meaning under another name, with the numbers of arguments Access
// takes.
struct DirectFunction {
    const char* access;
    std::size_t min_args;
    std::size_t max_args;
    const char* mysql;
    bool date = false;
};

constexpr DirectFunction kDirectFunctions[] = {
    {"left", 2, 2, "LEFT"},
    {"right", 2, 2, "RIGHT"},
    {"mid", 2, 3, "SUBSTRING"},
    {"len", 1, 1, "CHAR_LENGTH"},
    {"ucase", 1, 1, "UPPER"},
    {"lcase", 1, 1, "LOWER"},
    // Access trims spaces only, as MySQL's TRIM, LTRIM and RTRIM do.
    {"trim", 1, 1, "TRIM"},
    {"ltrim", 1, 1, "LTRIM"},
    {"rtrim", 1, 1, "RTRIM"},
    {"space", 1, 1, "SPACE"},
    {"year", 1, 1, "YEAR"},
    {"month", 1, 1, "MONTH"},
    {"day", 1, 1, "DAYOFMONTH"},
    {"hour", 1, 1, "HOUR"},
    {"minute", 1, 1, "MINUTE"},
    {"second", 1, 1, "SECOND"},
    {"abs", 1, 1, "ABS"},
    {"sgn", 1, 1, "SIGN"},
    {"sqr", 1, 1, "SQRT"},
    {"exp", 1, 1, "EXP"},
    {"log", 1, 1, "LN"},
    {"sin", 1, 1, "SIN"},
    {"cos", 1, 1, "COS"},
    {"tan", 1, 1, "TAN"},
    {"atn", 1, 1, "ATAN"},
    // Int rounds down (Int(-2.5) is -3), Fix towards zero.
    {"int", 1, 1, "FLOOR"},
    {"count", 1, 1, "COUNT"},
    {"sum", 1, 1, "SUM"},
    {"min", 1, 1, "MIN"},
    {"max", 1, 1, "MAX"},
    {"stdev", 1, 1, "STDDEV_SAMP"},
    {"stdevp", 1, 1, "STDDEV_POP"},
    {"var", 1, 1, "VAR_SAMP"},
    {"varp", 1, 1, "VAR_POP"},
    {"iif", 3, 3, "IF"},
    {"date", 0, 0, "CURDATE", true},
    {"now", 0, 0, "NOW", true},
};

// The aggregate each domain aggregate applies to its domain; the others take a record whose
// choice depends on the order of the records.
constexpr std::pair<const char*, const char*> kDomainAggregates[] = {
    {"dcount", "Count"}, {"dsum", "Sum"},       {"davg", "Avg"}, {"dmin", "Min"},   {"dmax", "Max"},
    {"dstdev", "StDev"}, {"dstdevp", "StDevP"}, {"dvar", "Var"}, {"dvarp", "VarP"},
};

// The type of a direct function's result.
ValueType ResultType(const std::string& key, const std::vector<Written>& args) {
    for (const char* same : {"abs", "int", "sum", "min", "max"})
        if (key == same)
            return args[0].type;
    for (const char* whole :
         {"count", "len", "year", "month", "day", "hour", "minute", "second", "sgn"})
        if (key == whole)
            return ValueType::Integer;
    for (const char* text :
         {"left", "right", "mid", "ucase", "lcase", "trim", "ltrim", "rtrim", "space"})
        if (key == text)
            return ValueType::Text;
    for (const char* real :
         {"sqr", "exp", "log", "sin", "cos", "tan", "atn", "stdev", "stdevp", "var", "varp"})
        if (key == real)
            return ValueType::Double;
    if (key == "date" || key == "now")
        return ValueType::Date;
    if (key == "iif" && args[1].type == args[2].type)
        return args[1].type;
    return ValueType::Unknown;
}

// Access's own functions that have no MySQL form giving the same values, with why.
struct RefusedFunction {
    const char* access;
    const char* why;
};

constexpr RefusedFunction kRefusedFunctions[] = {
    {"first", "结果取决于记录顺序"},
    {"last", "结果取决于记录顺序"},
    {"val", "转换规则不同"},
    {"csng", "单精度数的运算 MySQL 没有"},
    {"cdec", "转换规则不同"},
    {"cvdate", "转换规则不同"},
    {"datevalue", "按区域设置解析日期"},
    {"timevalue", "按区域设置解析时间"},
    {"rnd", "随机数"},
};

// Access's names of date intervals and MySQL's units for them, as DateAdd reads them.
std::optional<std::string> IntervalUnit(std::string_view interval) {
    static constexpr std::pair<const char*, const char*> kUnits[] = {
        {"yyyy", "YEAR"}, {"q", "QUARTER"}, {"m", "MONTH"}, {"y", "DAY"},    {"d", "DAY"},
        {"w", "DAY"},     {"ww", "WEEK"},   {"h", "HOUR"},  {"n", "MINUTE"}, {"s", "SECOND"},
    };
    for (const auto& [access, mysql] : kUnits)
        if (interval == access)
            return std::string(mysql);
    return std::nullopt;
}

// A date format of Format as DATE_FORMAT's: the parts that do not depend on the regional
// settings (digits of the year, month, day, hour, minute and second, AM/PM, literal characters);
// nullopt for the others (the date separator '/', names of days and months, named formats,
// numbers' formats). As in Access, m and mm after h or before s are minutes.
std::optional<std::string> DateFormat(std::string_view format) {
    if (format.empty())
        return std::nullopt;
    std::string lower;
    for (char c : format)
        lower += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    const bool twelve_hours = format.find("AM/PM") != std::string_view::npos;
    std::string out;
    std::string previous; // the last date part written
    const auto literal = [&](char c) {
        if (c == '%')
            out += "%%";
        else
            out += c;
    };
    for (std::size_t i = 0; i < lower.size();) {
        const auto run = [&](char c) {
            std::size_t k = i;
            while (k < lower.size() && lower[k] == c)
                ++k;
            return k - i;
        };
        const char c = lower[i];
        if (format.substr(i, 5) == "AM/PM") {
            out += "%p";
            i += 5;
            continue;
        }
        if (c == '"') {
            const std::size_t close = lower.find('"', i + 1);
            if (close == std::string::npos)
                return std::nullopt;
            for (std::size_t k = i + 1; k < close; ++k)
                literal(format[k]);
            i = close + 1;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= format.size())
                return std::nullopt;
            literal(format[i + 1]);
            i += 2;
            continue;
        }
        if (c == ' ' || c == '-' || c == ':' || c == '.' || c == ',' || c == '_') {
            literal(c);
            ++i;
            continue;
        }
        const std::size_t n = run(c);
        std::string part;
        if (c == 'y' && (n == 4 || n == 2))
            part = n == 4 ? "%Y" : "%y";
        else if (c == 'd' && n <= 2)
            part = n == 2 ? "%d" : "%e";
        else if (c == 'h' && n <= 2)
            part = twelve_hours ? (n == 2 ? "%h" : "%l") : (n == 2 ? "%H" : "%k");
        else if (c == 'n' && n == 2)
            part = "%i";
        else if (c == 's' && n == 2)
            part = "%s";
        else if (c == 'm' && n <= 2) {
            std::size_t next = i + n;
            while (next < lower.size() && !std::isalpha(static_cast<unsigned char>(lower[next])))
                ++next;
            const bool minutes = previous == "h" || (next < lower.size() && lower[next] == 's');
            if (minutes && n == 1)
                return std::nullopt;
            part = minutes ? "%i" : (n == 2 ? "%m" : "%c");
        } else {
            return std::nullopt;
        }
        out += part;
        previous = std::string(1, c);
        i += n;
    }
    return out;
}

} // namespace

// Weekday's and DatePart's firstdayofweek: a whole-number literal from 1 (Sunday) to 7; 0, the
// system's setting, is not known.
int FirstDayOfWeek(const Written& arg, const char* function) {
    if (!IsInteger(arg) || arg.value.size() != 1 || arg.value[0] < '1' || arg.value[0] > '7')
        Refuse(std::string(function) + " 的 firstdayofweek 参数");
    return arg.value[0] - '0';
}

// The day of the week from 1, counted from first_day (1 Sunday ... 7 Saturday).
Written Weekday(const Written& date, int first_day) {
    Written e = first_day == 1 ? Call("DAYOFWEEK", {date.sql})
                               : Make("(DAYOFWEEK(" + date.sql + ") + " +
                                          std::to_string(7 - first_day) + ") MOD 7 + 1",
                                      kAdd);
    e.type = ValueType::Integer;
    return e;
}

Written Writer::Function(const std::string& name, const std::vector<Written>& args) {
    std::string key = AsciiLower(name);
    if (!key.empty() && key.back() == '$') // Left$ is Left giving String, and so on
        key.pop_back();
    const std::size_t count = args.size();
    const auto arity = [&](std::size_t low, std::size_t high) {
        if (count < low || count > high)
            Refuse("函数 '" + name + "' 的参数个数不对");
    };

    for (const auto& f : kDirectFunctions) {
        if (key != f.access)
            continue;
        arity(f.min_args, f.max_args);
        Written e = Call(f.mysql, args);
        e.is_date = f.date;
        e.type = ResultType(key, args);
        return e;
    }
    for (const char* conversion : {"round", "cint", "clng", "cbyte", "ccur", "cdbl", "cbool",
                                   "cstr", "str", "cvar", "cdate"})
        if (key == conversion)
            return Conversion(key, name, args);
    for (const auto& f : kRefusedFunctions)
        if (key == f.access)
            Refuse("函数 '" + name + "'（" + f.why + "）");

    if (key == "avg") {
        // Access averages in floating point, MySQL whole numbers as DECIMAL with four more
        // decimals; as for '/', the values are made doubles first.
        arity(1, 1);
        Written e = Call("AVG", {Binary(args[0], "*", NumberLiteral("1e0"), kMul).sql});
        e.type = ValueType::Double;
        return e;
    }
    if (key == "fix") {
        arity(1, 1);
        Written e = Call("TRUNCATE", {args[0].sql, "0"});
        e.type = args[0].type;
        return e;
    }
    if (key == "nz") {
        // Without a second argument Nz gives "" in a query (a number wherever one is needed,
        // as MySQL reads '' as 0 there).
        arity(1, 2);
        Written fallback = count == 2 ? args[1] : Make("''", kAtom);
        Written e = Call("IFNULL", {args[0].sql, fallback.sql});
        e.never_null = count == 1 || args[1].never_null;
        if (count == 2 && args[0].type == args[1].type)
            e.type = args[0].type;
        return e;
    }
    if (key == "partition") {
        // "lower:upper" of the range of width interval from start that holds the number, each
        // side padded to as many characters as stop + 1 has; "   :start-1" below start,
        // "stop+1:   " above stop; Null for Null.
        arity(4, 4);
        for (std::size_t i = 1; i < 4; ++i)
            if (!IsInteger(args[i]))
                Refuse("Partition 的范围参数不是整数常量");
        if (args[0].type != ValueType::Integer)
            Refuse("Partition 的数值不是整数");
        const long long start = std::stoll(args[1].value);
        const long long stop = std::stoll(args[2].value);
        const long long interval = std::stoll(args[3].value);
        if (start < 0 || stop <= start || interval < 1)
            Refuse("Partition 的范围参数");
        const std::string width = std::to_string(std::to_string(stop + 1).size());
        const std::string& n = args[0].sql;
        const auto pad = [&](const std::string& x) {
            return "LPAD(" + x + ", " + width + ", ' ')";
        };
        const std::string lower = "(" + std::to_string(start) + " + (" + n + " - " +
                                  std::to_string(start) + ") DIV " + std::to_string(interval) +
                                  " * " + std::to_string(interval) + ")";
        Written e =
            Make("CASE WHEN " + n + " < " + std::to_string(start) + " THEN CONCAT(SPACE(" + width +
                     "), ':', " + pad(std::to_string(start - 1)) + ") WHEN " + n + " > " +
                     std::to_string(stop) + " THEN CONCAT(" + pad(std::to_string(stop + 1)) +
                     ", ':', SPACE(" + width + ")) ELSE CONCAT(" + pad(lower) + ", ':', " +
                     pad("LEAST(" + lower + " + " + std::to_string(interval - 1) + ", " +
                         std::to_string(stop) + ")") +
                     ") END",
                 kAtom);
        e.type = ValueType::Text;
        return e;
    }
    if (key == "instrrev") {
        // The last occurrence, found as the first in the reversed text; as with Replace, only
        // a sought text without letters compares the same way.
        arity(2, 2);
        if (args[1].shape != Shape::String || args[1].value.empty())
            Refuse("InStrRev 的查找内容不是非空字符串常量");
        for (char c : args[1].value)
            if (std::isalpha(static_cast<unsigned char>(c)) ||
                static_cast<unsigned char>(c) >= 0x80)
                Refuse("InStrRev 查找含字母的文本（比较方式不同）");
        const std::string length = std::to_string(args[1].value.size());
        Written e = Make("IF(LOCATE(" + args[1].sql + ", " + args[0].sql +
                             ") = 0, 0, CHAR_LENGTH(" + args[0].sql + ") - LOCATE(REVERSE(" +
                             args[1].sql + "), REVERSE(" + args[0].sql + ")) - " + length + " + 2)",
                         kAtom);
        e.type = ValueType::Integer;
        return e;
    }
    if (key == "isnull") {
        arity(1, 1);
        return Make(Operand(args[0], kCompare + 1) + " IS NULL", kCompare);
    }
    if (key == "switch") {
        // Null when no condition holds, as CASE without ELSE.
        if (count < 2 || count % 2 != 0)
            Refuse("函数 '" + name + "' 的参数个数不对");
        std::string sql = "CASE";
        for (std::size_t i = 0; i < count; i += 2)
            sql += " WHEN " + args[i].sql + " THEN " + args[i + 1].sql;
        return Make(sql + " END", kAtom);
    }
    if (key == "instr") {
        // InStr([start,] text, sought[, compare]); LOCATE(sought, text[, start]). Compare 1 is
        // the query's own text comparison; 0 compares bytes, which MySQL's collation does not.
        arity(2, 4);
        if (count == 4 && !(args[3].shape == Shape::Number && args[3].value == "1"))
            Refuse(args[3].shape == Shape::Number && args[3].value == "0" ? "InStr 的二进制比较"
                                                                          : "InStr 的比较方式参数");
        if (count == 2)
            return Call("LOCATE", {args[1].sql, args[0].sql});
        return Call("LOCATE", {args[2].sql, args[1].sql, args[0].sql});
    }
    if (key == "weekday") {
        // Sunday is 1 by default, as in DAYOFWEEK.
        arity(1, 2);
        return Weekday(args[0], count == 2 ? FirstDayOfWeek(args[1], "Weekday") : 1);
    }
    if (key == "strcomp") {
        // -1, 0 or 1 comparing as the query compares text (compare 1, the default); Null when
        // either is Null.
        arity(2, 3);
        if (count == 3 && !(IsInteger(args[2]) && args[2].value == "1"))
            Refuse("StrComp 的比较方式参数");
        Written e = Call("STRCMP", {args[0].sql, args[1].sql});
        e.type = ValueType::Integer;
        return e;
    }
    if (key == "replace") {
        // Text comparison ignores case, REPLACE does not: only a sought text without letters
        // is replaced the same way.
        arity(3, 3);
        if (args[1].shape != Shape::String)
            Refuse("Replace 的查找内容不是字符串常量");
        for (char c : args[1].value)
            if (std::isalpha(static_cast<unsigned char>(c)) ||
                static_cast<unsigned char>(c) >= 0x80)
                Refuse("Replace 查找含字母的文本（比较方式不同）");
        Written e = Call("REPLACE", {args[0].sql, args[1].sql, args[2].sql});
        e.type = ValueType::Text;
        return e;
    }
    if (key == "string") {
        // The first character of the text, repeated.
        arity(2, 2);
        if (args[1].type != ValueType::Text ||
            (args[1].shape == Shape::String && args[1].value.empty()))
            Refuse("String 的字符参数不是文本");
        Written e = Call("REPEAT", {Call("LEFT", {args[1].sql, "1"}).sql, args[0].sql});
        e.type = ValueType::Text;
        return e;
    }
    if (key == "choose") {
        // The index is rounded to a whole number; Null when it is out of range.
        if (count < 2)
            Refuse("函数 '" + name + "' 的参数个数不对");
        if (args[0].type == ValueType::Unknown)
            Refuse("Choose 的索引类型未知");
        const Written index = RoundHalfEven(args[0], 0, "函数 'Choose'");
        std::string sql = "CASE " + index.sql;
        for (std::size_t i = 1; i < count; ++i)
            sql += " WHEN " + std::to_string(i) + " THEN " + args[i].sql;
        return Make(sql + " END", kAtom);
    }
    if (key == "dateadd") {
        arity(3, 3);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DateAdd 的间隔不是字符串常量");
        const std::optional<std::string> unit = IntervalUnit(*interval);
        if (!unit)
            Refuse("DateAdd 的间隔 '" + args[0].value + "'");
        // Months and years end on the month's last day when the day does not exist, as in
        // Access (DateAdd("m", 1, #1/31/2020#) is 2/29/2020).
        Written e = Call("TIMESTAMPADD", {*unit, args[1].sql, args[2].sql});
        e.is_date = true;
        return e;
    }
    if (key == "datediff") {
        arity(3, 5);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DateDiff 的间隔不是字符串常量");
        if (count > 3 && (*interval == "w" || *interval == "ww"))
            Refuse("DateDiff 的 firstdayofweek 参数");
        return DateDiff(*interval, args[1], args[2]);
    }
    if (key == "datepart") {
        arity(2, 4);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DatePart 的间隔不是字符串常量");
        const int first_day = count >= 3 ? FirstDayOfWeek(args[2], "DatePart") : 1;
        if (count == 4 && !(IsInteger(args[3]) && args[3].value == "1"))
            Refuse("DatePart 的 firstweekofyear 参数");
        if (*interval == "w")
            return Weekday(args[1], first_day);
        if (*interval == "ww") {
            // Week 1 holds January 1st; a week starts on first_day.
            const std::string offset = "(DAYOFWEEK(MAKEDATE(YEAR(" + args[1].sql + "), 1)) + " +
                                       std::to_string(7 - first_day) + ") MOD 7";
            Written e =
                Make("(DAYOFYEAR(" + args[1].sql + ") - 1 + " + offset + ") DIV 7 + 1", kAdd);
            e.type = ValueType::Integer;
            return e;
        }
        static constexpr std::pair<const char*, const char*> kParts[] = {
            {"yyyy", "YEAR"},   {"q", "QUARTER"},    {"m", "MONTH"},
            {"y", "DAYOFYEAR"}, {"d", "DAYOFMONTH"}, {"w", "DAYOFWEEK"},
            {"h", "HOUR"},      {"n", "MINUTE"},     {"s", "SECOND"},
        };
        for (const auto& [access, mysql] : kParts)
            if (*interval == access)
                return Call(mysql, {args[1].sql});
        Refuse("DatePart 的间隔 '" + args[0].value + "'");
    }
    if (key == "dateserial") {
        // Months and days beyond their range carry over, as in Access: the month is added to
        // January 1st of the year, then the day to the 1st of that month.
        arity(3, 3);
        if (IsInteger(args[0]) && std::stoll(args[0].value) < 100)
            Refuse("DateSerial 的两位数年份"); // Access and MySQL put them in other centuries
        Written e = Call("MAKEDATE", {args[0].sql, "1"});
        const Written months = MinusOne(args[1]);
        if (!(IsInteger(months) && months.value == "0"))
            e = Call("TIMESTAMPADD", {"MONTH", months.sql, e.sql});
        const Written days = MinusOne(args[2]);
        if (!(IsInteger(days) && days.value == "0"))
            e = Call("TIMESTAMPADD", {"DAY", days.sql, e.sql});
        e.is_date = true;
        return e;
    }
    if (key == "format") {
        arity(1, 2);
        if (count == 2 && args[1].shape != Shape::String)
            Refuse("Format 的格式不是字符串常量");
        const std::optional<std::string> mysql = DateFormat(count == 2 ? args[1].value : "");
        if (!mysql)
            Refuse("Format 格式 '" + (count == 2 ? args[1].value : std::string()) + "'");
        Written e = Call("DATE_FORMAT", {args[0].sql, Quoted(*mysql)});
        e.type = ValueType::Text;
        return e;
    }
    Refuse("用户定义的函数 '" + name + "'");
}

// DCount("*", "Orders", "Amount > 0") and the like: the parser attached the domain as a query
// (SELECT expr FROM domain WHERE criteria) when every argument is text it could parse; the
// aggregate over it becomes a scalar subquery.
Written Writer::DomainAggregate(const sql::Expr& call, const std::string& key) {
    const char* aggregate = nullptr;
    for (const auto& [domain, function] : kDomainAggregates)
        if (key == domain)
            aggregate = function;
    if (!aggregate)
        Refuse("域聚合函数 '" + call.text + "'（结果取决于记录顺序）");
    if (!call.query)
        Refuse("域聚合函数 '" + call.text + "'（参数不是可解析的字符串常量）");
    sql::Query query = *call.query;
    sql::SelectItem& item = query.parts[0].items[0];
    auto function = std::make_shared<sql::Expr>();
    function->kind = sql::ExprKind::Call;
    function->text = aggregate;
    if (item.star) {
        if (key != "dcount")
            Refuse("域聚合函数 '" + call.text + "' 的表达式 '*'");
        function->count_star = true;
    } else {
        function->args = {item.expr};
    }
    item = sql::SelectItem{};
    item.expr = function;
    Written e = Make("(" + QueryBody(query, Context::Value) + ")", kAtom);
    e.type = key == "dcount" ? ValueType::Integer : ValueType::Unknown;
    return e;
}

// Access counts the interval boundaries crossed (DateDiff("yyyy", #12/31/2019#, #1/1/2020#) is
// 1), where TIMESTAMPDIFF counts whole intervals; each form below counts boundaries.
Written Writer::DateDiff(const std::string& interval, const Written& first, const Written& last) {
    const auto call = [](const char* function, const Written& arg) {
        return Call(function, {arg.sql});
    };
    const auto difference = [](const Written& later, const Written& earlier) {
        return Binary(later, "-", earlier, kAdd);
    };
    // A count of whole units since year 0, for the boundaries of months and quarters.
    const auto serial = [&](const Written& date, const char* part, const char* per_year) {
        return Binary(Binary(call("YEAR", date), "*", NumberLiteral(per_year), kMul), "+",
                      call(part, date), kAdd);
    };
    const auto seconds_div = [&](const Written& date, const char* unit) {
        return Binary(call("TO_SECONDS", date), "DIV", NumberLiteral(unit), kMul);
    };
    if (interval == "yyyy")
        return difference(call("YEAR", last), call("YEAR", first));
    if (interval == "q")
        return difference(serial(last, "QUARTER", "4"), serial(first, "QUARTER", "4"));
    if (interval == "m")
        return difference(serial(last, "MONTH", "12"), serial(first, "MONTH", "12"));
    if (interval == "d" || interval == "y")
        return Call("DATEDIFF", {last.sql, first.sql}); // midnights crossed; times are ignored
    if (interval == "ww") {
        // Sundays after the first date up to the last: the difference of the Sundays that
        // start their weeks, in weeks.
        const auto week_start = [&](const Written& date) {
            return difference(call("TO_DAYS", date), call("DAYOFWEEK", date));
        };
        return Binary(difference(week_start(last), week_start(first)), "DIV", NumberLiteral("7"),
                      kMul);
    }
    if (interval == "h")
        return difference(seconds_div(last, "3600"), seconds_div(first, "3600"));
    if (interval == "n")
        return difference(seconds_div(last, "60"), seconds_div(first, "60"));
    if (interval == "s")
        return difference(call("TO_SECONDS", last), call("TO_SECONDS", first));
    Refuse("DateDiff 的间隔 '" + interval + "'");
}

} // namespace tw::data::sqlwriter
