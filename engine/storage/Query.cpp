#include "engine/storage/Query.h"

#include "engine/ExceptionModule.h"
#include "engine/Strings.h"

#include <sqlcipher/sqlite3.h>

#include <climits>

namespace {

// sqlite3_finalize repeats the code of the statement's last step, which the
// caller has examined already; finalizing itself cannot fail.
void finalizeStatement(sqlite3_stmt* statement)
{
    const int result = sqlite3_finalize(statement);
    (void)result;
}

[[noreturn]] void throwRefused(const std::string& step, const std::string& reason)
{
    throw ExceptionModule(L"Cannot " + toWide(step) + L": the vault database refused the change.", toWide(reason));
}

} // namespace

Query::Query(Database& db)
    : pool(db.pool)
    , connection(db.grabdb())
{
}

Query::~Query()
{
    if (statement != nullptr && !statement_kept)
        finalizeStatement(statement);
    statement = nullptr;
    // Finalized even when the Database closed the connection: its close
    // waits for the last statement.
    for (auto& [text, prepared] : kept)
        finalizeStatement(prepared);
    kept.clear();
    if (connection != nullptr) {
        // The connection goes back to the pool: it must not carry a
        // half-done transaction into the next Query.
        rollbackOpenTransaction();
        connection->busy = false;
    }
}

bool Query::hasConnection() const
{
    return connection != nullptr && connection->handle != nullptr;
}

bool Query::fail(std::string text)
{
    last_error = std::move(text);
    return false;
}

bool Query::failWithoutConnection()
{
    if (connection != nullptr)
        return fail("the database is closed");
    const std::string reason = pool->last_open_error;
    return fail(reason.empty() ? "no connection to the database" : reason);
}

bool Query::prepare(const std::string& sql, sqlite3_stmt*& prepared)
{
    prepared = nullptr;
    if (sql.size() > static_cast<std::size_t>(INT_MAX))
        return fail("statement too long");
    const int prepareCode =
        sqlite3_prepare_v2(connection->handle, sql.data(), static_cast<int>(sql.size()), &prepared, nullptr);
    if (prepareCode != SQLITE_OK) {
        fail(sqlite3_errmsg(connection->handle));
        if (prepared != nullptr)
            finalizeStatement(prepared);
        prepared = nullptr;
        return false;
    }
    if (prepared == nullptr)
        return fail("the statement text is empty");
    return true;
}

bool Query::runOnce(const std::string& sql)
{
    sqlite3_stmt* prepared = nullptr;
    if (!prepare(sql, prepared))
        return false;

    const int code = sqlite3_step(prepared);
    const bool succeeded = code == SQLITE_ROW || code == SQLITE_DONE;
    if (!succeeded)
        fail(sqlite3_errmsg(connection->handle));
    finalizeStatement(prepared);
    return succeeded;
}

bool Query::execute(const std::string& sql)
{
    last_sql = sql;
    if (!hasConnection())
        return failWithoutConnection();
    if (statement != nullptr)
        return fail("execute: query busy");
    return runOnce(sql);
}

void Query::executeOrThrow(const std::string& sql, const std::string& step)
{
    if (!execute(sql))
        throwRefused(step, lastError());
}

sqlite3_stmt* Query::keptStatement(const std::string& sql)
{
    const auto found = kept.find(sql);
    if (found != kept.end())
        return found->second;
    sqlite3_stmt* prepared = nullptr;
    if (!prepare(sql, prepared))
        return nullptr;
    kept.emplace(sql, prepared);
    return prepared;
}

bool Query::bindAll(sqlite3_stmt* prepared, std::initializer_list<SqlValue> values)
{
    if (values.size() != static_cast<std::size_t>(sqlite3_bind_parameter_count(prepared)))
        return fail("the statement takes " + std::to_string(sqlite3_bind_parameter_count(prepared))
                    + " values, not " + std::to_string(values.size()));
    int position = 1;
    for (const SqlValue& value : values) {
        int code = SQLITE_OK;
        if (const auto* number = std::get_if<int64_t>(&value)) {
            code = sqlite3_bind_int64(prepared, position, *number);
        } else {
            const std::string& text = std::get<std::string>(value);
            // Copied: a result set steps again after this call has returned.
            code = sqlite3_bind_text64(prepared, position, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        if (code != SQLITE_OK)
            return fail(sqlite3_errmsg(connection->handle));
        ++position;
    }
    return true;
}

void Query::release(sqlite3_stmt* prepared, bool keptOne)
{
    if (!keptOne) {
        finalizeStatement(prepared);
        return;
    }
    // sqlite3_reset repeats the last step's code, examined already.
    const int result = sqlite3_reset(prepared);
    (void)result;
    (void)sqlite3_clear_bindings(prepared);
}

sqlite3_stmt* Query::readyBound(const std::string& sql, std::initializer_list<SqlValue> values, const char* caller)
{
    last_sql = sql;
    if (!hasConnection()) {
        failWithoutConnection();
        return nullptr;
    }
    if (statement != nullptr) {
        fail(std::string(caller) + ": query busy");
        return nullptr;
    }
    sqlite3_stmt* prepared = keptStatement(sql);
    if (prepared != nullptr && !bindAll(prepared, values)) {
        release(prepared, true);
        return nullptr;
    }
    return prepared;
}

bool Query::executeBound(const std::string& sql, std::initializer_list<SqlValue> values)
{
    sqlite3_stmt* prepared = readyBound(sql, values, "execute");
    if (prepared == nullptr)
        return false;
    const int code = sqlite3_step(prepared);
    const bool succeeded = code == SQLITE_ROW || code == SQLITE_DONE;
    if (!succeeded)
        fail(sqlite3_errmsg(connection->handle));
    release(prepared, true);
    return succeeded;
}

void Query::executeBoundOrThrow(const std::string& sql, std::initializer_list<SqlValue> values,
                                const std::string& step)
{
    if (!executeBound(sql, values))
        throwRefused(step, lastError());
}

void Query::rollbackOpenTransaction()
{
    if (hasConnection() && sqlite3_get_autocommit(connection->handle) == 0) {
        // Nothing more can be done if even the rollback fails; closing the
        // connection later discards the transaction all the same.
        const bool rolledBack = runOnce("rollback transaction");
        (void)rolledBack;
    }
}

bool Query::get_result(const std::string& sql)
{
    last_sql = sql;
    if (!hasConnection())
        return failWithoutConnection();
    if (statement != nullptr)
        return fail("get_result: query busy");
    sqlite3_stmt* prepared = nullptr;
    if (!prepare(sql, prepared))
        return false;
    return openResult(prepared, false);
}

bool Query::get_result_bound(const std::string& sql, std::initializer_list<SqlValue> values)
{
    sqlite3_stmt* prepared = readyBound(sql, values, "get_result");
    return prepared != nullptr && openResult(prepared, true);
}

bool Query::openResult(sqlite3_stmt* prepared, bool keptOne)
{
    column_index.clear();
    column_count = sqlite3_column_count(prepared);
    for (int i = 0; i < column_count; ++i) {
        if (const char* name = sqlite3_column_name(prepared, i))
            column_index[name] = i + 1;
    }

    // The first step shows at once whether the statement can run at all; its
    // result is kept for the first fetch_row.
    const int firstStep = sqlite3_step(prepared);
    if (firstStep != SQLITE_ROW && firstStep != SQLITE_DONE) {
        fail(sqlite3_errmsg(connection->handle));
        release(prepared, keptOne);
        column_index.clear();
        first_step_rows = 0;
        return false;
    }
    statement = prepared;
    statement_kept = keptOne;
    cached_step = firstStep;
    cached_step_valid = true;
    exhausted = false;
    row = false;
    first_step_rows = firstStep == SQLITE_ROW ? 1 : 0;
    return true;
}

bool Query::fetch_row()
{
    row = false;
    if (!hasConnection() || statement == nullptr || exhausted)
        return false;
    // SQLite would start the statement over on a step after its end.
    const int code = cached_step_valid ? cached_step : sqlite3_step(statement);
    cached_step_valid = false;
    if (code == SQLITE_ROW) {
        row = true;
        return true;
    }
    exhausted = true;
    if (code != SQLITE_DONE)
        fail(sqlite3_errmsg(connection->handle));
    return false;
}

bool Query::readable() const
{
    return hasConnection() && statement != nullptr && row;
}

int Query::columnPosition(const std::string& column) const
{
    const auto found = column_index.find(column);
    if (found == column_index.end())
        return -1;
    return found->second - 1;
}

std::string Query::getstr(const std::string& column)
{
    const int position = columnPosition(column);
    if (position < 0 || position >= column_count || !readable())
        return {};
    const unsigned char* text = sqlite3_column_text(statement, position);
    if (text == nullptr)
        return {};
    // The byte count keeps text that is not valid UTF-8 intact.
    const int bytes = sqlite3_column_bytes(statement, position);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes));
}

int32_t Query::getval(const std::string& column)
{
    const int position = columnPosition(column);
    if (position < 0 || position >= column_count || !readable())
        return 0;
    return sqlite3_column_int(statement, position);
}

int64_t Query::getbigint(const std::string& column)
{
    const int position = columnPosition(column);
    if (position < 0 || position >= column_count || !readable())
        return 0;
    return sqlite3_column_int64(statement, position);
}

void Query::free_result()
{
    if (statement != nullptr)
        release(statement, statement_kept);
    statement = nullptr;
    statement_kept = false;
    row = false;
    cached_step_valid = false;
    exhausted = false;
    column_index.clear();
}

int Query::row_count() const
{
    return first_step_rows;
}

std::string Query::lastError() const
{
    return last_error;
}

sqlite3* Query::connectionHandle()
{
    return hasConnection() ? connection->handle : nullptr;
}

std::string sqlText(std::string_view value)
{
    std::string quoted;
    quoted.reserve(value.size());
    for (const char c : value) {
        quoted += c;
        if (c == '\'')
            quoted += '\'';
    }
    return quoted;
}

std::string boundStatement(std::string_view printfText)
{
    std::string bound;
    bound.reserve(printfText.size());
    for (std::size_t i = 0; i < printfText.size();) {
        const std::string_view rest = printfText.substr(i);
        std::size_t taken = 0;
        for (const std::string_view value : {"'%s'", "%lu", "%d"})
            if (rest.substr(0, value.size()) == value) {
                taken = value.size();
                break;
            }
        if (taken > 0) {
            bound += '?';
            i += taken;
        } else {
            bound += printfText[i++];
        }
    }
    return bound;
}
