#include "tablewright/model/Target.h"

#include "tablewright/model/AdoTypes.h"

#include <charconv>

namespace tw::data {

bool ParseCanonicalDouble(std::string_view text, double& number) {
    if (text.empty())
        return false;
    const char* first = text.data();
    if (*first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), number);
    return ec == std::errc() && end == text.data() + text.size();
}

ValueForm FormOf(int ado_type) {
    switch (ado_type) {
    case adBoolean:
        return ValueForm::Bool;
    case adTinyInt:
    case adSmallInt:
    case adInteger:
    case adBigInt:
    case adUnsignedTinyInt:
    case adUnsignedSmallInt:
    case adUnsignedInt:
    case adUnsignedBigInt:
        return ValueForm::Integer;
    case adSingle:
        return ValueForm::Single;
    case adDouble:
        return ValueForm::Double;
    case adCurrency:
    case adDecimal:
    case adNumeric:
        return ValueForm::Exact;
    case adDate:
    case adDBDate:
    case adDBTimeStamp:
        return ValueForm::Date;
    case adBinary:
    case adVarBinary:
    case adLongVarBinary:
        return ValueForm::Bytes;
    default:
        return ValueForm::Text;
    }
}

} // namespace tw::data
