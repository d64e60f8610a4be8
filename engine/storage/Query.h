#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "engine/storage/Database.h"
#include "engine/storage/Transaction.h"

struct sqlite3;
struct sqlite3_stmt;

// One value for a statement's next "?": a number or a text.
using SqlValue = std::variant<int64_t, std::string>;

// Runs SQL text on one connection borrowed from a Database for the Query's
// whole life: single statements with execute, or one result set at a time
// with get_result / fetch_row / free_result, its columns read by name.
//
// A Query without a connection (none could be opened, or its Database was
// destroyed) fails every statement and reads every column as "" or 0.
class Query {
public:
    explicit Query(Database& db);
    ~Query();

    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool hasConnection() const;

    // Prepares one statement and takes its first step, which is all that DDL,
    // INSERT, UPDATE, DELETE, "begin transaction" or "VACUUM;" need. False
    // when there is no connection, a result set is open, the text holds no
    // statement or SQLite reports an error (see lastError).
    bool execute(const std::string& sql);
    // execute for statements whose failure must not pass unnoticed: throws
    // ExceptionModule "Cannot <step>: the vault database refused the change."
    // with SQLite's text as the cause.
    void executeOrThrow(const std::string& sql, const std::string& step);

    // Statements run once a row, thousands of times in one change: the
    // values go to the statement's "?" places in order instead of into its
    // text, and the compiled statement is kept for this Query's life, so a
    // statement is compiled once however many rows it writes. A wrong
    // number of values fails like a statement SQLite refuses.
    bool executeBound(const std::string& sql, std::initializer_list<SqlValue> values);
    void executeBoundOrThrow(const std::string& sql, std::initializer_list<SqlValue> values,
                             const std::string& step);
    // get_result with values, its compiled statement kept as executeBound's.
    bool get_result_bound(const std::string& sql, std::initializer_list<SqlValue> values);

    // Opens a result set and takes its first step. False (and nothing open)
    // when there is no connection, a result set is still open, the statement
    // does not prepare or its first step fails; the result set that was open
    // stays untouched.
    bool get_result(const std::string& sql);
    // Advances to the next row; false at the end or on an error.
    bool fetch_row();
    // Columns of the current row by name: "" / 0 for an unknown column, an
    // SQL NULL or when no row is current.
    std::string getstr(const std::string& column);
    int32_t getval(const std::string& column);
    int64_t getbigint(const std::string& column);
    void free_result();
    // 1 when the first step of the last get_result gave a row, else 0.
    int row_count() const;

    // SQLite's text for the last failure of this Query.
    std::string lastError() const;
    // The borrowed connection, for code inside this folder only.
    sqlite3* connectionHandle();

private:
    friend class Transaction;

    bool readable() const;
    int columnPosition(const std::string& column) const;
    bool fail(std::string text);
    // Compiles one statement; false (with the reason recorded) when it cannot.
    bool prepare(const std::string& sql, sqlite3_stmt*& prepared);
    bool failWithoutConnection();
    // Prepares, steps once and finalizes, beside any open result set.
    bool runOnce(const std::string& sql);
    // Rolls back a transaction still open on the connection, if any.
    void rollbackOpenTransaction();
    // The kept compiled form of sql, compiled on first use; nullptr (with
    // the reason recorded) when it does not compile.
    sqlite3_stmt* keptStatement(const std::string& sql);
    bool bindAll(sqlite3_stmt* prepared, std::initializer_list<SqlValue> values);
    // The kept statement of sql with its values bound, ready for its first
    // step; nullptr (with the reason recorded) when it cannot run.
    sqlite3_stmt* readyBound(const std::string& sql, std::initializer_list<SqlValue> values, const char* caller);
    // Opens prepared as the result set and takes its first step.
    bool openResult(sqlite3_stmt* prepared, bool kept);
    // Ends the use of a statement: a kept one is reset for its next use.
    static void release(sqlite3_stmt* prepared, bool kept);

    std::shared_ptr<Database::Pool> pool;
    Database::Connection* connection = nullptr;
    sqlite3_stmt* statement = nullptr;
    bool statement_kept = false; // the open result set's statement is one of kept
    std::map<std::string, sqlite3_stmt*> kept;
    bool row = false;
    std::string last_sql;
    int cached_step = 0;
    bool cached_step_valid = false;
    bool exhausted = false; // the result set reached its end or failed
    int first_step_rows = 0;
    std::map<std::string, int> column_index; // name -> 1-based position
    int column_count = 0;
    std::string last_error;
};

// The value with every single quote doubled, to be pasted between single
// quotes in a statement: "John's" -> "John''s". SQLite stores the original.
std::string sqlText(std::string_view value);

// A statement text written for formatStatement, with each of its values
// ('%s', %d, %lu) turned into a "?" for Query's bound statements: the same
// statement, its values bound instead of pasted in.
std::string boundStatement(std::string_view printfText);
