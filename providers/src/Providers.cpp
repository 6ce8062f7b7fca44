#include "tablewright/providers/Providers.h"

#include "tablewright/access/AccessProvider.h"
#include "tablewright/model/ConnectionString.h"
#include "tablewright/mysql/MySqlDestination.h"
#include "tablewright/mysql/MySqlProvider.h"

namespace tw::data {

namespace {

bool IsAccessProvider(std::string_view provider) {
    auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return text;
    };
    const std::string name = lower(std::string(provider));
    return name.find("jet.oledb") != std::string::npos ||
           name.find("ace.oledb") != std::string::npos;
}

std::unique_ptr<Provider> OpenFromString(const std::string& connection_string) {
    const auto parts = ParseConnectionString(connection_string);
    if (auto provider = FindConnectionValue(parts, "Provider")) {
        if (!IsAccessProvider(*provider))
            throw DataAccessError("找不到提供程序 '" + *provider + "'。");
        auto path = FindConnectionValue(parts, "Data Source");
        if (!path || path->empty())
            throw DataAccessError("连接字符串中没有指定数据库文件。");
        return OpenAccessProvider(*path, FindConnectionValue(parts, "Jet OLEDB:Database Password"),
                                  FindConnectionValue(parts, "Source Charset"));
    }
    if (auto driver = FindConnectionValue(parts, "DRIVER")) {
        if (!IsMySqlDriver(*driver))
            throw DataAccessError("找不到驱动程序 '" + *driver + "'。");
        return OpenMySqlProvider(MySqlTargetFromConnectionString(parts));
    }
    throw DataAccessError("连接字符串无法识别：既没有 Provider 也没有 DRIVER。");
}

} // namespace

ProviderFactory DefaultProviderFactory() {
    return &OpenFromString;
}

ScriptDestinationFactory DefaultScriptDestinationFactory() {
    return MySqlScriptDestinationFactory();
}

} // namespace tw::data
