#include "tablewright/model/Target.h"

#include "tablewright/model/AdoTypes.h"

namespace tw::data {

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
