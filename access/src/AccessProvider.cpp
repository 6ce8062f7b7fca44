// The Access provider: opens a file or an in-memory image with its password (AccessFile.cpp
// checks it and unlocks encrypted files), and answers for its tables and queries through the
// catalog (AccessSchema.cpp, AccessQueries.cpp) and the row cursor (AccessCursor.cpp).

#include "tablewright/access/AccessProvider.h"
#include "tablewright/access/OleObject.h"

#include "AccessImage.h"
#include "AccessInternals.h"

#include <utility>

namespace tw::data {

namespace {

using access::AccessFile;
using access::Catalog;
using access::CatalogObject;
using access::Quoted;

class AccessProvider final : public Provider {
public:
    explicit AccessProvider(std::shared_ptr<const AccessFile> file)
        : file_(std::move(file)), catalog_(file_) {}

    std::string TextEncoding() const override { return text_encoding; }

    /// How the file's text was decoded, for the log.
    std::string text_encoding;

    void Execute(std::string_view) override {
        throw DataAccessError("Access 数据库 " + Quoted(file_->path) +
                              " 以只读方式打开，不能执行语句。");
    }

    std::unique_ptr<Recordset> OpenRecordset(std::string_view sql) override {
        throw DataAccessError("不支持的查询语句：'" + std::string(sql) +
                              "'。Access 数据源只能按表读取，不能执行查询语句。");
    }

    std::unique_ptr<Recordset> OpenTable(const std::string& table) override {
        return access::OpenPlanRecordset(file_, catalog_.Plan(RequireTable(table)));
    }

    bool EmbedsFiles(int source_type) const override { return source_type == kAccessOleType; }

    bool EmbeddedFile(Bytes& value) override {
        auto contents = ExtractOleContents(value.data);
        if (!contents)
            return false;
        value.data = std::move(contents->data);
        return true;
    }

    std::vector<SchemaTableRow> SchemaTables() override {
        std::vector<SchemaTableRow> rows;
        for (const auto& object : catalog_.Objects()) {
            const std::string type = Catalog::TableType(object);
            if (!type.empty())
                rows.push_back(SchemaTableRow{object.name, type, access::LinkTarget(object)});
        }
        return rows;
    }

    TableSchema ReadTableSchema(const std::string& table) override {
        return catalog_.Describe(RequireTable(table));
    }

    std::vector<ComplexColumnSchema> ReadComplexColumns(const std::string& table) override {
        return catalog_.ComplexColumns(RequireTable(table));
    }

    std::unique_ptr<Recordset> OpenComplexValues(const std::string& table,
                                                 const std::string& column) override {
        return catalog_.OpenComplexValues(RequireTable(table), column);
    }

    std::vector<RelationshipSchema> ReadRelationships() override {
        return catalog_.Relationships();
    }

    std::vector<QuerySchema> ReadQueries() override { return catalog_.Queries(); }

private:
    // The table called `name`; fails for names of queries, links and unknown objects.
    const CatalogObject& RequireTable(const std::string& name) const {
        const CatalogObject* object = catalog_.Find(name);
        if (!object)
            throw DataAccessError("找不到表 '" + name + "'。");
        if (object->type == access::kObjectQuery)
            throw DataAccessError("'" + name + "' 是查询，不是表，无法直接读取。");
        if (object->type != access::kObjectTable)
            throw DataAccessError("'" + name + "' 是链接表，数据不在这个数据库文件中，无法读取。");
        return *object;
    }

    std::shared_ptr<const AccessFile> file_;
    Catalog catalog_;
};

// Reads the catalog of a file whose password was checked when it was opened; failures that do
// not name the file yet are prefixed with it.
std::unique_ptr<Provider> OpenChecked(const std::shared_ptr<const AccessFile>& file) {
    try {
        return std::make_unique<AccessProvider>(file);
    } catch (const DataAccessError& e) {
        const std::string text = e.what();
        if (text.find(Quoted(file->path)) != std::string::npos)
            throw;
        throw DataAccessError("无法打开数据库 " + Quoted(file->path) + "：" + text);
    }
}

} // namespace

std::unique_ptr<Provider> OpenAccessProvider(const std::string& path,
                                             const std::optional<std::string>& password,
                                             const std::optional<std::string>& charset) {
    auto file = access::OpenFile(path, password);
    std::string encoding;
    if (charset && !charset->empty()) {
        const auto code_page = access::CodePageForCharset(*charset);
        if (!code_page)
            throw DataAccessError("无法打开数据库 " + Quoted(path) + "：不认识字符集 '" + *charset +
                                  "'（iconv 没有这个名字）");
        if (file->jet3) {
            encoding = "Access 97 文件的文本按 " + *charset + " 解码（文件头写的代码页是 " +
                       std::to_string(file->header.code_page) + "）";
            file->header.code_page = *code_page;
        } else {
            encoding =
                "源字符集 " + *charset + " 未使用：Access 2000 及以后的文件以 Unicode 保存文本";
        }
    } else if (file->jet3) {
        encoding = "Access 97 文件的文本按文件头写的代码页 " +
                   std::to_string(file->header.code_page) + " 解码";
    }
    auto provider = OpenChecked(std::move(file));
    static_cast<AccessProvider&>(*provider).text_encoding = std::move(encoding);
    return provider;
}

namespace access {

std::unique_ptr<Provider> OpenAccessImage(const std::string& name, std::vector<std::uint8_t> bytes,
                                          const std::optional<std::string>& password) {
    return OpenChecked(CheckImage(name, std::make_unique<ByteSource>(std::move(bytes)), password));
}

} // namespace access

} // namespace tw::data
