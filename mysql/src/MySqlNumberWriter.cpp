#include "MySqlSqlWriterInternals.h"

// Access's rounding and conversions of numbers. Round, CInt, CLng, CByte and CCur round half to
// even (banker's rounding) on the exact value: 2.5 becomes 2, and the Double 0.125 (exactly a
// tie) becomes 0.12, while the Double nearest 1.115 lies below the tie and becomes 1.11. MySQL's
// ROUND rounds decimals half away from zero and doubles through an inexact product, so the
// rounding is written out: the value scaled by 10^digits is compared with its floor, and a tie
// goes to the even neighbour. Decimal arithmetic is exact in MySQL; for a Double, the scaled
// value's rounding error is worked out exactly (Dekker's product of the value split in two
// halves of 26 bits and 10^digits, whose significand has at most 26 bits up to 10^11).

namespace tw::data::sqlwriter {

ValueType ArithmeticType(ValueType left, ValueType right) {
    const auto numeric = [](ValueType t) {
        return t == ValueType::Integer || t == ValueType::Decimal || t == ValueType::Double;
    };
    if (!numeric(left) || !numeric(right))
        return ValueType::Unknown;
    if (left == ValueType::Double || right == ValueType::Double)
        return ValueType::Double;
    if (left == ValueType::Decimal || right == ValueType::Decimal)
        return ValueType::Decimal;
    return ValueType::Integer;
}

Written RoundHalfEven(const Written& x, int digits, const std::string& what) {
    if (x.type == ValueType::Integer)
        return x;
    if (x.type != ValueType::Decimal && x.type != ValueType::Double)
        Refuse(what + "（参数类型未知，无法确定舍入）");
    // The value is repeated some thirty times.
    if (x.sql.size() > kMaxExpression / 32)
        Refuse("表达式过长");
    const std::string power = "1" + std::string(static_cast<std::size_t>(digits), '0');
    std::string result;
    if (x.type == ValueType::Decimal) {
        // Exact: DECIMAL products, floors and comparisons.
        const std::string scaled =
            digits == 0 ? Operand(x, kMul) : Operand(x, kMul) + " * " + power;
        const std::string floor = "FLOOR(" + scaled + ")";
        const std::string fraction = "(" + scaled + " - " + floor + ")";
        result = floor + " + (" + fraction + " > 0.5 OR " + fraction + " = 0.5 AND " + floor +
                 " MOD 2 <> 0)";
        if (digits > 0)
            result = "(" + result + ") * 0." +
                     std::string(static_cast<std::size_t>(digits - 1), '0') + "1";
    } else {
        // The Double as MySQL's double (a DECIMAL literal becomes the nearest double, as Access
        // reads it).
        const std::string value = "(" + Operand(x, kMul) + " * 1e0)";
        const std::string scaled = digits == 0 ? value : "(" + value + " * " + power + "e0)";
        const std::string floor = "FLOOR(" + scaled + ")";
        const std::string fraction = "(" + scaled + " - " + floor + ")";
        std::string tie_up = floor + " MOD 2 <> 0";
        if (digits > 0) {
            // scaled + error is the exact product; on a tie, the error's sign decides.
            const std::string split = "(134217729e0 * " + value + ")";
            const std::string high = "(" + split + " - (" + split + " - " + value + "))";
            const std::string low = "(" + value + " - " + high + ")";
            const std::string error =
                "(" + high + " * " + power + "e0 - " + scaled + " + " + low + " * " + power + "e0)";
            tie_up = error + " > 0 OR " + error + " = 0 AND " + tie_up;
        }
        result = floor + " + (" + fraction + " > 0.5e0 OR " + fraction + " = 0.5e0 AND (" + tie_up +
                 "))";
        if (digits > 0)
            result = "(" + result + ") / " + power + "e0";
    }
    Written w = Make(result, digits > 0 ? kMul : kAdd);
    w.type = x.type;
    return w;
}

Written Writer::Conversion(const std::string& key, const std::string& name,
                           const std::vector<Written>& args) {
    const std::size_t max_args = key == "round" ? 2 : 1;
    if (args.empty() || args.size() > max_args)
        Refuse("函数 '" + name + "' 的参数个数不对");
    const Written& x = args[0];
    const std::string what = "函数 '" + name + "'";
    const bool numeric =
        x.type == ValueType::Integer || x.type == ValueType::Decimal || x.type == ValueType::Double;
    if (key == "round") {
        int digits = 0;
        if (args.size() == 2) {
            if (!IsInteger(args[1]) || args[1].value.front() == '-' || args[1].value.size() > 2 ||
                std::stoi(args[1].value) > 11)
                Refuse(what + "（小数位数须为 0 到 11 的整数常量）");
            digits = std::stoi(args[1].value);
        }
        return RoundHalfEven(x, digits, what);
    }
    if (key == "cint" || key == "clng" || key == "cbyte") {
        // Values beyond the type's range are an error in Access; the view shows them.
        Written w = Make("CAST(" + RoundHalfEven(x, 0, what).sql + " AS SIGNED)", kAtom);
        w.type = ValueType::Integer;
        return w;
    }
    if (key == "ccur") {
        Written w = Make("CAST(" + RoundHalfEven(x, 4, what).sql + " AS DECIMAL(19,4))", kAtom);
        w.type = ValueType::Decimal;
        return w;
    }
    if (key == "cdbl") {
        if (!numeric)
            Refuse(what + "（参数不是数字，转换按区域设置）");
        Written w = Binary(x, "*", NumberLiteral("1e0"), kMul);
        w.type = ValueType::Double;
        return w;
    }
    if (key == "cbool") {
        if (x.type == ValueType::Boolean)
            return x;
        if (!numeric)
            Refuse(what + "（参数不是数字）");
        Written w = Comparing(x, "<>", "0");
        w.type = ValueType::Boolean;
        return w;
    }
    if (key == "cstr" || key == "str") {
        // Whole numbers are written the same everywhere; others by the regional settings (CStr)
        // or with 15 significant digits (Str).
        if (x.type == ValueType::Text && key == "cstr")
            return x;
        if (x.type != ValueType::Integer)
            Refuse(what + "（参数不是整数，转换规则不同）");
        Written w =
            key == "cstr"
                ? Make("CAST(" + x.sql + " AS CHAR)", kAtom)
                : Call("CONCAT", {"IF(" + Operand(x, kCompare + 1) + " < 0, '', ' ')", x.sql});
        w.type = ValueType::Text;
        return w;
    }
    if (key == "cvar")
        return x;
    if (key == "cdate") {
        if (x.type != ValueType::Date)
            Refuse(what + "（参数不是日期，转换按区域设置）");
        return x;
    }
    Refuse(what);
}

} // namespace tw::data::sqlwriter
