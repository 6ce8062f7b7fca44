#include "MySqlSqlWriterInternals.h"

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

constexpr const char* kDomainFunctions[] = {"dlookup", "dcount",  "dsum",   "davg",
                                            "dmin",    "dmax",    "dfirst", "dlast",
                                            "dstdev",  "dstdevp", "dvar",   "dvarp"};

// Access's own functions that have no MySQL form giving the same values, with why.
struct RefusedFunction {
    const char* access;
    const char* why;
};

constexpr RefusedFunction kRefusedFunctions[] = {
    {"round", "Access 按银行家舍入"},
    {"cint", "Access 按银行家舍入"},
    {"clng", "Access 按银行家舍入"},
    {"cbyte", "Access 按银行家舍入"},
    {"first", "结果取决于记录顺序"},
    {"last", "结果取决于记录顺序"},
    {"val", "转换规则不同"},
    {"str", "转换规则不同"},
    {"cstr", "转换规则不同"},
    {"cdbl", "转换规则不同"},
    {"csng", "转换规则不同"},
    {"ccur", "转换规则不同"},
    {"cdec", "转换规则不同"},
    {"cdate", "转换规则不同"},
    {"cvdate", "转换规则不同"},
    {"cbool", "转换规则不同"},
    {"cvar", "转换规则不同"},
    {"datevalue", "按区域设置解析日期"},
    {"timevalue", "按区域设置解析时间"},
    {"replace", "比较方式不同"},
    {"instrrev", "比较方式不同"},
    {"strcomp", "比较方式不同"},
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

// Format strings that DATE_FORMAT writes the same way; the others depend on the regional
// settings (/, named formats) or format numbers.
std::optional<std::string> DateFormat(std::string_view format) {
    static constexpr std::pair<const char*, const char*> kFormats[] = {
        {"yyyy", "%Y"},
        {"yy", "%y"},
        {"mm", "%m"},
        {"dd", "%d"},
        {"yyyymm", "%Y%m"},
        {"yyyymmdd", "%Y%m%d"},
        {"yyyy-mm", "%Y-%m"},
        {"yyyy-mm-dd", "%Y-%m-%d"},
        {"hh:nn", "%H:%i"},
        {"hh:nn:ss", "%H:%i:%s"},
        {"yyyy-mm-dd hh:nn", "%Y-%m-%d %H:%i"},
        {"yyyy-mm-dd hh:nn:ss", "%Y-%m-%d %H:%i:%s"},
    };
    for (const auto& [access, mysql] : kFormats)
        if (format == access)
            return std::string(mysql);
    return std::nullopt;
}

} // namespace

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
        return e;
    }
    for (const char* domain : kDomainFunctions)
        if (key == domain)
            Refuse("域聚合函数 '" + name + "'");
    for (const auto& f : kRefusedFunctions)
        if (key == f.access)
            Refuse("函数 '" + name + "'（" + f.why + "）");

    if (key == "avg") {
        // Access averages in floating point, MySQL whole numbers as DECIMAL with four more
        // decimals; as for '/', the values are made doubles first.
        arity(1, 1);
        return Call("AVG", {Binary(args[0], "*", NumberLiteral("1e0"), kMul).sql});
    }
    if (key == "fix") {
        arity(1, 1);
        return Call("TRUNCATE", {args[0].sql, "0"});
    }
    if (key == "nz") {
        // Without a second argument Nz gives "" in a query (a number wherever one is needed,
        // as MySQL reads '' as 0 there).
        arity(1, 2);
        Written fallback = count == 2 ? args[1] : Make("''", kAtom);
        Written e = Call("IFNULL", {args[0].sql, fallback.sql});
        e.never_null = count == 1 || args[1].never_null;
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
        if (count == 2 && !(args[1].shape == Shape::Number && args[1].value == "1"))
            Refuse("Weekday 的 firstdayofweek 参数");
        return Call("DAYOFWEEK", {args[0].sql});
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
        arity(2, 2);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DatePart 的间隔不是字符串常量");
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
        const std::optional<std::string> format =
            count == 2 ? StringArgument(args[1]) : std::optional<std::string>("");
        if (!format)
            Refuse("Format 的格式不是字符串常量");
        const std::optional<std::string> mysql = DateFormat(*format);
        if (!mysql)
            Refuse("Format 格式 '" + (count == 2 ? args[1].value : std::string()) + "'");
        return Call("DATE_FORMAT", {args[0].sql, Quoted(*mysql)});
    }
    Refuse("用户定义的函数 '" + name + "'");
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
