// Table definitions and the catalog: reading plans of tables, their columns, properties and
// indexes, the objects of MSysObjects and the relationships of MSysRelationships.

#include "AccessInternals.h"
#include "tablewright/access/AccessSql.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace tw::data::access {

namespace {

// The bytes of the table definition starting at `page`: its first page whole, then each
// continuation page from offset 8. Fails when the chain leaves the file, reaches a page that is
// not a definition page or comes back to a page it has been through.
std::vector<std::uint8_t> ReadDefinitionBytes(const AccessFile& file, std::uint32_t page,
                                              const std::string& name, const std::string& failure) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> buffer;
    std::unordered_set<std::uint32_t> visited;
    for (std::uint32_t current = page; current != 0;) {
        if (current >= file.page_count)
            FailRead(file, "表 '" + name + "' 的定义在第 " + std::to_string(current) +
                               " 页，超出文件末尾，文件可能已被截断");
        if (!visited.insert(current).second)
            FailRead(file, "表 '" + name + "' 的定义页链形成了循环，文件已损坏");
        const std::uint8_t* data = LoadPage(file, current, buffer);
        if (data[0] != kPageTableDefinition)
            FailRead(file, failure);
        const std::size_t from = bytes.empty() ? 0 : 8;
        bytes.insert(bytes.end(), data + from, data + file.page_size);
        current = ReadU32(data + 4);
    }
    return bytes;
}

// The bytes of the row `pointer` names (row number in the low byte, page above it), whatever
// the row's flags; nullopt when the page is not a data page or has no such row.
std::optional<std::vector<std::uint8_t>> ReadPointedRow(const AccessFile& file,
                                                        std::uint32_t pointer) {
    const std::uint32_t page = pointer >> 8;
    if (page == 0 || page >= file.page_count)
        return std::nullopt;
    std::vector<std::uint8_t> buffer;
    const std::uint8_t* data = LoadPage(file, page, buffer);
    if (data[0] != kPageData)
        return std::nullopt;
    const auto row =
        LocateRow(data, file.page_size, file.row_count_offset, static_cast<int>(pointer & 0xFF));
    if (!row)
        return std::nullopt;
    return std::vector<std::uint8_t>(data + row->start, data + row->end);
}

Kind KindOfType(int type) {
    switch (type) {
    case kTypeBool:
        return Kind::Bool;
    case kTypeByte:
        return Kind::Byte;
    case kTypeInt16:
        return Kind::Int16;
    case kTypeInt32:
        return Kind::Int32;
    case kTypeMoney:
        return Kind::Money;
    case kTypeFloat:
        return Kind::Float;
    case kTypeDouble:
        return Kind::Double;
    case kTypeDateTime:
        return Kind::Date;
    case kTypeBinary:
        return Kind::Binary;
    case kTypeText:
        return Kind::Text;
    case kTypeOle:
        return Kind::Ole;
    case kTypeMemo:
        return Kind::Memo;
    case kTypeGuid:
        return Kind::Guid;
    case kTypeNumeric:
        return Kind::Numeric;
    case kTypeBigInt:
        return Kind::BigInt;
    case kTypeExtendedDate:
        return Kind::ExtendedDate;
    case kTypeComplex:
        return Kind::Complex;
    default:
        return Kind::Unsupported;
    }
}

std::string TypeCode(int type) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", type);
    return hex;
}

std::string UnsupportedTypeReason(int type) {
    const std::string hex = TypeCode(type);
    if (type == kTypeComplex || type == kTypeComplexUnknown)
        return "是附件或多值等复杂数据列（类型 " + hex + "），无法读取其值";
    return "的数据类型 " + hex + " 未知，无法读取其值";
}

// True for type codes the reader does not know at all (complex columns it knows, and cannot
// read): their values are kept as the bytes the row stores.
bool IsUnknownType(int type) {
    return KindOfType(type) == Kind::Unsupported && type != kTypeComplex &&
           type != kTypeComplexUnknown;
}

// Fills the ADO type code and sizes the Jet OLE DB provider reports for the column.
void SetAdoType(ColumnInfo& info, const AccessFile& file, int stored_size) {
    switch (info.kind) {
    case Kind::Bool:
        info.ado_type = adBoolean;
        info.defined_size = 2;
        break;
    case Kind::Byte:
        info.ado_type = adUnsignedTinyInt;
        info.defined_size = 1;
        break;
    case Kind::Int16:
        info.ado_type = adSmallInt;
        info.defined_size = 2;
        break;
    case Kind::Int32:
        info.ado_type = adInteger;
        info.defined_size = 4;
        break;
    case Kind::Money:
        info.ado_type = adCurrency;
        info.defined_size = 8;
        break;
    case Kind::Float:
        info.ado_type = adSingle;
        info.defined_size = 4;
        break;
    case Kind::Double:
        info.ado_type = adDouble;
        info.defined_size = 8;
        break;
    case Kind::Date:
        info.ado_type = adDate;
        info.defined_size = 8;
        break;
    case Kind::BigInt:
        info.ado_type = adBigInt;
        info.defined_size = 8;
        break;
    case Kind::Guid:
        info.ado_type = adGUID;
        info.defined_size = 16;
        break;
    case Kind::Binary:
        info.ado_type = info.layout.is_fixed ? adBinary : adVarBinary;
        info.defined_size = stored_size;
        break;
    case Kind::Text: {
        int bytes = stored_size;
        if (info.calculated)
            bytes = std::max(0, bytes - kCalcOverhead);
        info.ado_type = adVarWChar;
        info.defined_size = file.jet3 ? bytes : bytes / 2;
        break;
    }
    case Kind::Memo:
        info.ado_type = adLongVarWChar;
        info.defined_size = 536870910;
        break;
    case Kind::Ole:
        info.ado_type = adLongVarBinary;
        info.defined_size = 1073741823;
        break;
    case Kind::Numeric:
        info.ado_type = adNumeric;
        info.defined_size = 19;
        break;
    case Kind::ExtendedDate:
        // Seven digits of a second, of which MySQL keeps six.
        info.ado_type = adDBTimeStamp;
        info.defined_size = stored_size;
        info.scale = 7;
        break;
    case Kind::Raw:
        info.ado_type = adLongVarBinary;
        info.defined_size = 1073741823;
        break;
    case Kind::Complex:
        // The row's complex value id; the values are rows of their own.
        info.ado_type = adInteger;
        info.defined_size = 4;
        break;
    case Kind::Unsupported:
        info.ado_type = adVariant;
        info.defined_size = 0;
        break;
    }
}

// The result type ("ResultType" property) of each calculated column, by column name.
using ResultTypes = std::map<std::string, int>;

// The result types of the calculated columns of a table's property blob.
ResultTypes ReadResultTypes(std::span<const std::uint8_t> blob, int code_page) {
    ResultTypes types;
    for (const auto& object : ReadPropertyBlob(blob, code_page)) {
        const Property* property = object.kind != 0 ? object.Find("ResultType") : nullptr;
        if (!property)
            continue;
        if (const auto* type = std::get_if<std::int64_t>(&property->value))
            types[object.name] = static_cast<int>(*type);
    }
    return types;
}

ColumnInfo BuildColumn(const AccessFile& file, const ColumnDefinition& col,
                       const ResultTypes& result_types) {
    ColumnInfo info;
    info.name = col.name;
    info.type_byte = col.type;
    info.flags = col.flags;
    info.calculated = !file.jet3 && (col.ext_flags & kColumnCalculatedFlags) != 0;

    info.layout.col_num = col.col_num;
    info.layout.var_index = col.var_index;
    info.layout.fixed_offset = col.fixed_offset;
    info.layout.fixed_size = col.size;
    info.layout.is_fixed = (col.flags & kColumnFixedFlag) != 0;

    int value_type = col.type;
    if (info.calculated) {
        // The stored type byte of a calculated column is not the type of its values; that is
        // the "ResultType" property.
        const auto result = result_types.find(info.name);
        if (result == result_types.end()) {
            info.problem = "是计算列，但缺少结果类型（ResultType 属性），无法解读其值";
            info.kind = Kind::Unsupported;
        } else {
            value_type = result->second;
        }
    }
    if (info.problem.empty()) {
        info.kind = KindOfType(value_type);
        if (!info.calculated && IsUnknownType(value_type)) {
            // Whether its values are fixed or variable in length the column's flags say, so the
            // row's bytes for it can still be found and kept.
            info.kind = Kind::Raw;
            info.note = "的数据类型 " + TypeCode(value_type) + " 未知，其值按原始字节保存";
        } else if (info.kind == Kind::Unsupported) {
            info.problem =
                (info.calculated ? "是计算列，其结果" : "") + UnsupportedTypeReason(value_type);
        }
    }
    if (info.kind == Kind::Complex) {
        // A complex value id is four bytes in the fixed-length area; any other definition is
        // damaged, and a calculated column cannot hold one.
        info.complex_id = col.complex_id;
        if (info.calculated || file.jet3 || !info.layout.is_fixed || col.size != 4) {
            info.kind = Kind::Unsupported;
            info.problem =
                (info.calculated ? "是计算列，其结果" : "") + UnsupportedTypeReason(value_type);
        }
    }
    info.layout.is_bool = info.kind == Kind::Bool && !info.calculated;
    if (info.kind == Kind::Numeric) {
        info.precision = col.precision;
        info.scale = col.scale;
        if (info.calculated)
            info.precision = 28;
    }
    SetAdoType(info, file, col.size);
    return info;
}

} // namespace

std::int64_t Integer(RowReader& rows, std::size_t column, Value& value) {
    rows.Decode(column, value);
    const auto* number = std::get_if<std::int64_t>(&value);
    return number ? *number : 0;
}

std::vector<std::size_t> LocateSystemColumns(const AccessFile& file, const TablePlan& plan,
                                             std::span<const std::string_view> names,
                                             std::string_view table) {
    std::vector<std::size_t> at(names.size(), plan.columns.size());
    for (std::size_t i = 0; i < plan.columns.size(); ++i)
        for (std::size_t k = 0; k < names.size(); ++k)
            if (EqualsNoCase(plan.columns[i].name, names[k]))
                at[k] = i;
    if (std::find(at.begin(), at.end(), plan.columns.size()) != at.end())
        FailRead(file, "系统表 " + std::string(table) + " 的结构无法识别，文件可能已损坏");
    return at;
}

std::string Text(RowReader& rows, std::size_t column, Value& value) {
    rows.Decode(column, value);
    const auto* text = std::get_if<std::string>(&value);
    return text ? *text : std::string();
}

// Reads and checks the definition of table `name` at `tdef_page` and its usage map.
StoredTable ReadStoredTable(const AccessFile& file, std::uint32_t tdef_page,
                            const std::string& name) {
    const std::string failure = "无法读取表 '" + name + "' 的定义，文件可能已损坏";
    if (tdef_page < 2)
        FailRead(file, failure);
    const std::vector<std::uint8_t> bytes = ReadDefinitionBytes(file, tdef_page, name, failure);
    auto definition = ParseTableDefinition(bytes, file.jet3, file.header.code_page);
    if (!definition)
        FailRead(file, failure);
    auto usage_map = ReadPointedRow(file, definition->usage_map);
    // The first byte of a usage map is its kind; a map without it names no page.
    if (!usage_map || usage_map->empty())
        FailRead(file, "表 '" + name + "' 的页面映射无法读取，文件可能已损坏");
    return StoredTable{std::move(*definition), std::move(*usage_map)};
}

bool HasCalculatedColumns(const AccessFile& file, const TableDefinition& definition) {
    return !file.jet3 && std::any_of(definition.columns.begin(), definition.columns.end(),
                                     [](const ColumnDefinition& c) {
                                         return (c.ext_flags & kColumnCalculatedFlags) != 0;
                                     });
}

std::shared_ptr<const TablePlan>
BuildPlan(const AccessFile& file, std::uint32_t tdef_page, const std::string& name,
          StoredTable stored, const std::function<std::vector<std::uint8_t>()>& properties) {
    auto plan = std::make_shared<TablePlan>();
    plan->name = name;
    plan->tdef_page = tdef_page;
    plan->has_var_columns = stored.definition.var_columns > 0;
    plan->usage_map = std::move(stored.usage_map);
    plan->last_auto_number = stored.definition.last_auto_number;
    ResultTypes result_types;
    if (HasCalculatedColumns(file, stored.definition) && properties)
        result_types = ReadResultTypes(properties(), file.header.code_page);
    for (const auto& column : stored.definition.columns) {
        plan->columns.push_back(BuildColumn(file, column, result_types));
        plan->layouts.push_back(plan->columns.back().layout);
    }
    plan->indexes = std::move(stored.definition.indexes);
    return plan;
}

// ---------------------------------------------------------------------------------------------
// The catalog.

namespace {

constexpr std::uint32_t kSystemObjectFlags = 0x80000002u;

// Bits of MSysRelationships.grbit.
constexpr std::int64_t kRelationNotEnforced = 0x2;
constexpr std::int64_t kRelationCascadeUpdates = 0x100;
constexpr std::int64_t kRelationCascadeDeletes = 0x1000;

bool TableLike(const CatalogObject& object) {
    return object.type == kObjectTable || object.type == kObjectQuery ||
           object.type == kObjectLink || object.type == kObjectOdbcLink;
}

// The text of a property; empty when it is missing or not text.
std::string TextProperty(const PropertyObject* object, std::string_view name) {
    const Property* property = object ? object->Find(name) : nullptr;
    const auto* text = property ? std::get_if<std::string>(&property->value) : nullptr;
    return text ? *text : std::string();
}

// A Yes/No property; nullopt when it is missing or of another type.
std::optional<bool> BoolProperty(const PropertyObject* object, std::string_view name) {
    const Property* property = object ? object->Find(name) : nullptr;
    const auto* value = property ? std::get_if<bool>(&property->value) : nullptr;
    return value ? std::optional<bool>(*value) : std::nullopt;
}

// Parses the validation rules of the table and its columns once, for every destination to write
// in its own dialect; a rule that cannot be parsed keeps its text and the construct refused.
void ParseValidationRules(TableSchema& schema) {
    if (!schema.validation_rule.empty()) {
        ParsedExpression parsed = ParseAccessExpression(schema.validation_rule);
        schema.validation_tree = std::move(parsed.tree);
        schema.validation_refusal = std::move(parsed.refusal);
    }
    for (ColumnSchema& column : schema.columns) {
        if (column.validation_rule.empty())
            continue;
        ParsedExpression parsed = ParseAccessValidationRule(column.validation_rule, column.name);
        column.validation_tree = std::move(parsed.tree);
        column.validation_refusal = std::move(parsed.refusal);
    }
}

// True for the calculated Decimal columns, whose precision and scale their recordset field
// measures from the values.
bool MeasuredFromValues(const ColumnInfo& column) {
    return column.calculated && column.kind == Kind::Numeric && column.problem.empty();
}

} // namespace

std::string LinkTarget(const CatalogObject& object) {
    if (object.type != kObjectLink && object.type != kObjectOdbcLink)
        return {};
    // The connect string's settings, but the password, which must never appear in a message,
    // and the database file, which is named on its own.
    bool odbc = object.type == kObjectOdbcLink;
    std::string connect;
    std::string_view rest = object.link_connect;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        const std::string_view part = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const std::string_view key = part.substr(0, part.find('='));
        if (EqualsNoCase(part, "ODBC")) {
            odbc = true;
            continue;
        }
        if (part.empty() || EqualsNoCase(key, "PWD") || EqualsNoCase(key, "PASSWORD") ||
            (EqualsNoCase(key, "DATABASE") && !object.link_database.empty()))
            continue;
        connect += (connect.empty() ? "" : ";") + std::string(part);
    }
    std::string where;
    if (!object.link_database.empty())
        where = "位于 " + object.link_database;
    if (!connect.empty() || odbc)
        where += (where.empty() ? "" : "，") + std::string(odbc ? "ODBC：" : "") + connect;
    const std::string& name =
        object.link_foreign_name.empty() ? object.name : object.link_foreign_name;
    return "'" + name + "'" + (where.empty() ? "" : "（" + where + "）");
}

Catalog::Catalog(std::shared_ptr<const AccessFile> file) : file_(std::move(file)) {
    ReadObjects();
    CheckUserTables();
    CheckComplexTables();
}

std::string Catalog::TableType(const CatalogObject& object) {
    switch (object.type) {
    case kObjectTable:
        // Names starting with '~' are Access's temporary objects, hidden in Access too.
        if ((object.flags & kSystemObjectFlags) != 0 || StartsWithNoCase(object.name, "MSys") ||
            StartsWithNoCase(object.name, "~"))
            return "SYSTEM TABLE";
        return "TABLE";
    case kObjectQuery:
        return StartsWithNoCase(object.name, "~") ? "SYSTEM VIEW" : "VIEW";
    case kObjectLink:
    case kObjectOdbcLink:
        return "LINK";
    default:
        return {};
    }
}

const CatalogObject* Catalog::Find(const std::string& name) const {
    for (const auto& object : objects_) {
        if (object.name == name)
            return &object;
    }
    for (const auto& object : objects_) {
        if (EqualsNoCase(object.name, name))
            return &object;
    }
    return nullptr;
}

std::shared_ptr<const TablePlan> Catalog::Plan(const CatalogObject& table) {
    if (table.plan)
        return table.plan;
    const std::uint32_t page = table.tdef_page;
    return BuildPlan(*file_, page, table.name, ReadStoredTable(*file_, page, table.name),
                     [this, page] { return TableProperties(page); });
}

void Catalog::CheckUserTables() {
    std::vector<std::pair<CatalogObject*, StoredTable>> tables;
    std::vector<std::uint32_t> calculated;
    for (auto& object : objects_) {
        if (TableType(object) != "TABLE")
            continue;
        tables.emplace_back(&object, ReadStoredTable(*file_, object.tdef_page, object.name));
        if (HasCalculatedColumns(*file_, tables.back().second.definition))
            calculated.push_back(object.tdef_page);
    }
    // One walk of the catalog fetches the properties of all of them (one walk per table would
    // take time growing with the square of the number of tables).
    FetchProperties(calculated);
    for (auto& [object, stored] : tables) {
        const std::uint32_t page = object->tdef_page;
        object->plan = BuildPlan(*file_, page, object->name, std::move(stored),
                                 [this, page] { return TableProperties(page); });
        CheckPageMap(*file_, *object->plan);
    }
}

void Catalog::ReadObjects() {
    // The definition of MSysObjects itself is on page 2.
    catalog_ = BuildPlan(*file_, 2, "MSysObjects", ReadStoredTable(*file_, 2, "MSysObjects"), {});
    for (std::size_t i = 0; i < catalog_->columns.size(); ++i) {
        const auto& column = catalog_->columns[i].name;
        if (column == "Id")
            id_column_ = i;
        else if (column == "Name")
            name_column_ = i;
        else if (column == "Type")
            type_column_ = i;
        else if (column == "Flags")
            flags_column_ = i;
        else if (column == "LvProp")
            properties_column_ = i;
        else if (column == "Database")
            database_column_ = i;
        else if (column == "Connect")
            connect_column_ = i;
        else if (column == "ForeignName")
            foreign_name_column_ = i;
    }
    if (id_column_ == kNoColumn || name_column_ == kNoColumn || type_column_ == kNoColumn ||
        flags_column_ == kNoColumn)
        FailOpen(file_->path, "系统目录（MSysObjects）的结构无法识别，文件可能已损坏");
    RowReader rows(file_, catalog_);
    Value value;
    while (rows.Next()) {
        CatalogObject object;
        object.type = static_cast<int>(Integer(rows, type_column_, value));
        if (!TableLike(object))
            continue;
        object.id = static_cast<std::int32_t>(Integer(rows, id_column_, value));
        object.tdef_page = static_cast<std::uint32_t>(object.id) & 0x00FFFFFFu;
        object.flags = static_cast<std::uint32_t>(Integer(rows, flags_column_, value));
        object.name = Text(rows, name_column_, value);
        if (object.type == kObjectLink || object.type == kObjectOdbcLink) {
            // Older catalogs may lack a column; the link is then described by what is there.
            if (database_column_ != kNoColumn)
                object.link_database = Text(rows, database_column_, value);
            if (connect_column_ != kNoColumn)
                object.link_connect = Text(rows, connect_column_, value);
            if (foreign_name_column_ != kNoColumn)
                object.link_foreign_name = Text(rows, foreign_name_column_, value);
        }
        if (!object.name.empty())
            objects_.push_back(std::move(object));
    }
}

void Catalog::FetchProperties(const std::vector<std::uint32_t>& pages) {
    if (properties_column_ == kNoColumn || pages.empty())
        return;
    const std::unordered_set<std::uint32_t> wanted(pages.begin(), pages.end());
    RowReader rows(file_, catalog_);
    Value value;
    while (rows.Next()) {
        if (Integer(rows, type_column_, value) != kObjectTable)
            continue;
        const auto page =
            static_cast<std::uint32_t>(Integer(rows, id_column_, value)) & 0x00FFFFFFu;
        if (!wanted.contains(page) || properties_.contains(page))
            continue;
        rows.Decode(properties_column_, value);
        const auto* bytes = std::get_if<Bytes>(&value);
        properties_[page] = bytes
                                ? std::vector<std::uint8_t>(bytes->data.begin(), bytes->data.end())
                                : std::vector<std::uint8_t>{};
    }
}

std::vector<std::uint8_t> Catalog::TableProperties(std::uint32_t tdef_page) {
    if (!properties_.contains(tdef_page)) {
        // Whoever asks for one table's properties is likely to ask for the others' next.
        std::vector<std::uint32_t> pages{tdef_page};
        for (const auto& object : objects_) {
            if (object.type == kObjectTable && !properties_.contains(object.tdef_page))
                pages.push_back(object.tdef_page);
        }
        FetchProperties(pages);
    }
    const auto found = properties_.find(tdef_page);
    return found == properties_.end() ? std::vector<std::uint8_t>{} : found->second;
}

TableSchema Catalog::Describe(const CatalogObject& table) {
    const auto plan = Plan(table);
    const auto properties =
        ReadPropertyBlob(TableProperties(table.tdef_page), file_->header.code_page);
    // The table's own properties are the object of kind 0; its columns' go by their names.
    auto properties_of = [&properties](const std::string* column) -> const PropertyObject* {
        for (const auto& object : properties) {
            if (column ? object.kind != 0 && object.name == *column : object.kind == 0)
                return &object;
        }
        return nullptr;
    };

    TableSchema schema;
    schema.name = table.name;
    schema.description = TextProperty(properties_of(nullptr), "Description");
    schema.validation_rule = TextProperty(properties_of(nullptr), "ValidationRule");
    schema.validation_text = TextProperty(properties_of(nullptr), "ValidationText");

    // Types and sizes are what the table's recordset fields report; only the calculated Decimal
    // columns need the recordset itself, which measures them from their values.
    std::unique_ptr<Recordset> measured;
    if (std::any_of(plan->columns.begin(), plan->columns.end(), MeasuredFromValues))
        measured = OpenPlanRecordset(file_, plan);
    bool counting = false;
    for (std::size_t i = 0; i < plan->columns.size(); ++i) {
        const ColumnInfo& info = plan->columns[i];
        ColumnSchema& column = schema.columns.emplace_back();
        column.name = info.name;
        column.source_type = info.type_byte;
        if (measured) {
            Field& field = measured->GetField(static_cast<int>(i));
            column.ado_type = field.Type();
            column.size = field.DefinedSize();
            column.precision = field.Precision();
            column.scale = field.NumericScale();
        } else {
            column.ado_type = info.ado_type;
            column.size = info.defined_size;
            column.precision = info.precision;
            column.scale = info.scale;
        }
        column.calculated = info.calculated;
        if (info.flags & kColumnGuidAutoNumberFlag)
            column.auto_number = AutoNumber::Guid;
        else if (info.flags & kColumnAutoNumberFlag)
            column.auto_number = AutoNumber::Increment;
        counting = counting || column.auto_number == AutoNumber::Increment;

        const PropertyObject* own = properties_of(&info.name);
        // A Yes/No column holds a value on every row, whatever its properties say.
        column.required = info.layout.is_bool || BoolProperty(own, "Required").value_or(false);
        if (info.type_byte == kTypeText || info.type_byte == kTypeMemo)
            column.allow_zero_length = BoolProperty(own, "AllowZeroLength");
        column.default_expression = TextProperty(own, "DefaultValue");
        column.description = TextProperty(own, "Description");
        column.validation_rule = TextProperty(own, "ValidationRule");
        column.validation_text = TextProperty(own, "ValidationText");
        if (column.calculated) {
            column.calculated_expression = TextProperty(own, "Expression");
            // Parsed once here, as saved queries are, so that every destination reads the
            // same tree.
            if (!column.calculated_expression.empty()) {
                ParsedExpression parsed = ParseAccessExpression(column.calculated_expression);
                column.calculated_tree = std::move(parsed.tree);
                column.calculated_refusal = std::move(parsed.refusal);
            }
        }
    }

    for (const auto& index : plan->indexes) {
        IndexSchema& out = schema.indexes.emplace_back();
        out.name = index.name;
        for (const auto& key : index.columns)
            out.columns.push_back(IndexColumn{plan->columns[key.column].name, key.descending});
        out.primary = index.type == kIndexTypePrimary;
        out.unique = (index.flags & kIndexUnique) != 0;
        out.ignore_nulls = (index.flags & kIndexIgnoreNulls) != 0;
        out.foreign = index.type == kIndexTypeForeign;
    }

    if (counting)
        schema.next_auto_number = std::int64_t{plan->last_auto_number} + 1;
    ParseValidationRules(schema);
    return schema;
}

std::vector<RelationshipSchema> Catalog::Relationships() {
    const CatalogObject* system = Find("MSysRelationships");
    if (!system || system->type != kObjectTable)
        return {};
    const auto plan = Plan(*system);

    // One row per column pair of a relationship; icolumn is the pair's position in the key and
    // ccolumn the number of pairs.
    enum { kName, kFlags, kCount, kPosition, kChild, kChildColumn, kParent, kParentColumn };
    static constexpr std::string_view kColumns[] = {"szRelationship",
                                                    "grbit",
                                                    "ccolumn",
                                                    "icolumn",
                                                    "szObject",
                                                    "szColumn",
                                                    "szReferencedObject",
                                                    "szReferencedColumn"};
    const std::vector<std::size_t> at =
        LocateSystemColumns(*file_, *plan, kColumns, "MSysRelationships");

    struct Pair {
        std::int64_t position = 0;
        RelationshipColumn columns;
    };
    struct Stored {
        RelationshipSchema relationship;
        std::int64_t count = 0;
        std::vector<Pair> pairs;
        // False when rows of the same relationship name different tables.
        bool consistent = true;
    };
    std::vector<Stored> stored;
    std::map<std::string, std::size_t> by_name;
    RowReader rows(file_, plan);
    Value value;
    while (rows.Next()) {
        const std::string name = Text(rows, at[kName], value);
        if (name.empty())
            continue;
        const std::string parent = Text(rows, at[kParent], value);
        const std::string child = Text(rows, at[kChild], value);
        const auto [found, added] = by_name.emplace(name, stored.size());
        if (added) {
            Stored& first = stored.emplace_back();
            first.relationship.name = name;
            first.relationship.parent_table = parent;
            first.relationship.child_table = child;
            const std::int64_t flags = Integer(rows, at[kFlags], value);
            first.relationship.enforced = (flags & kRelationNotEnforced) == 0;
            first.relationship.cascade_update = (flags & kRelationCascadeUpdates) != 0;
            first.relationship.cascade_delete = (flags & kRelationCascadeDeletes) != 0;
            first.count = Integer(rows, at[kCount], value);
        }
        Stored& entry = stored[found->second];
        if (parent != entry.relationship.parent_table || child != entry.relationship.child_table)
            entry.consistent = false;
        Pair& pair = entry.pairs.emplace_back();
        pair.position = Integer(rows, at[kPosition], value);
        pair.columns.parent = Text(rows, at[kParentColumn], value);
        pair.columns.child = Text(rows, at[kChildColumn], value);
    }

    // Only whole relationships between user tables: one whose pairs do not number 0..n-1 for n
    // = ccolumn is damaged, and those of system tables are Access's own.
    auto user_table = [this](const std::string& name) -> const CatalogObject* {
        const CatalogObject* object = Find(name);
        return object && TableType(*object) == "TABLE" ? object : nullptr;
    };
    std::vector<RelationshipSchema> relationships;
    for (auto& entry : stored) {
        std::stable_sort(entry.pairs.begin(), entry.pairs.end(),
                         [](const Pair& a, const Pair& b) { return a.position < b.position; });
        bool whole =
            entry.consistent && entry.count == static_cast<std::int64_t>(entry.pairs.size());
        for (std::size_t i = 0; whole && i < entry.pairs.size(); ++i)
            whole = entry.pairs[i].position == static_cast<std::int64_t>(i);
        const CatalogObject* parent = user_table(entry.relationship.parent_table);
        const CatalogObject* child = user_table(entry.relationship.child_table);
        if (!whole || !parent || !child)
            continue;
        RelationshipSchema& relationship = relationships.emplace_back(entry.relationship);
        relationship.parent_table = parent->name;
        relationship.child_table = child->name;
        for (const auto& pair : entry.pairs)
            relationship.columns.push_back(pair.columns);
    }
    return relationships;
}

} // namespace tw::data::access
