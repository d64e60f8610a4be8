#include "engine/storage/VaultSchema.h"

#include "engine/ExceptionModule.h"
#include "engine/storage/Query.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

std::string formatStatement(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) {
        va_end(arguments);
        throw ExceptionModule(L"Cannot build a database statement.", L"");
    }
    std::string statement(static_cast<std::size_t>(length) + 1, '\0');
    const int written = std::vsnprintf(statement.data(), statement.size(), format, arguments);
    va_end(arguments);
    if (written != length)
        throw ExceptionModule(L"Cannot build a database statement.", L"");
    statement.resize(static_cast<std::size_t>(length));
    return statement;
}

namespace {

const wchar_t* const cannotInitialize = L"Cannot initialize configuration database.";

void runSchemaStatement(Query& query, const std::string& sql)
{
    if (!query.execute(sql))
        throw ExceptionModule(cannotInitialize, toWide(query.lastError()));
}

} // namespace

void createVaultSchema(Query& query, const std::string& emptyPasswordHash,
                       std::map<std::string, std::string>& settings)
{
    using namespace vaultschema;
    const std::vector<std::pair<std::string, std::string>> initialSettings = {
        {currentPasswordSetting, emptyPasswordHash},
        {previousPasswordSetting, emptyPasswordHash},
        {versionSetting, vaultFormatVersion},
        {skinSetting, ""},
        {encryptionSetting, defaultEncryption},
    };
    const std::string quotedHash = sqlText(emptyPasswordHash);

    try {
        // One transaction: a failure half-way must not leave a vault whose
        // tables were dropped but not made again.
        Transaction transaction(query);
        for (const char* sql : {dropProtectedFiles, dropKistConfig, createProtectedFiles, createIdsrcIndex,
                                createKistConfig, createConfignameIndex, createKistConfigTrigger})
            runSchemaStatement(query, sql);
        runSchemaStatement(query, formatStatement(insertCurrentPassword, quotedHash.c_str()));
        runSchemaStatement(query, formatStatement(insertPreviousPassword, quotedHash.c_str()));
        runSchemaStatement(query, formatStatement(insertVersion, vaultFormatVersion));
        runSchemaStatement(query, insertSkin);
        runSchemaStatement(query, insertEncryption);
        transaction.commit();
    } catch (const ExceptionModule& error) {
        throw ExceptionModule(cannotInitialize, toWide(error.getCause()));
    }

    settings.clear();
    for (const auto& [name, value] : initialSettings)
        settings[name] = value;
}

bool hasNoTables(Query& query)
{
    if (!query.get_result("select count(*) as tables from sqlite_master where type = 'table'"))
        throw ExceptionModule(cannotInitialize, toWide(query.lastError()));
    const bool counted = query.fetch_row();
    const int64_t tables = query.getbigint("tables");
    const std::string error = query.lastError();
    query.free_result();
    if (!counted)
        throw ExceptionModule(cannotInitialize, toWide(error));
    return tables == 0;
}
