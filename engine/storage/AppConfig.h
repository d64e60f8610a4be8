#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/Strings.h"

class Database;
class Query;

// The desktop program's per-user settings: name/value texts in a small
// database of their own (".config" in the settings folder). The whole table
// is read once at construction; reads are answered from memory after that.
class AppConfig {
public:
    // folder: the settings folder, created by the caller. Throws
    // ExceptionModule "Cannot connect to configuration database." when the
    // file cannot be opened and "Cannot initialize configuration database."
    // when it cannot be read or set up (the file is then left as it was).
    explicit AppConfig(const nocase_wstring& folder);
    ~AppConfig();

    AppConfig(const AppConfig&) = delete;
    AppConfig& operator=(const AppConfig&) = delete;

    // The value, or "" for a name never set (nothing is written then).
    std::string get(const std::string& name);
    // Writes the value to the table and to memory. Throws "Cannot initialize
    // configuration database." when the database refuses the change; the
    // value in memory then stays what the table holds.
    void set(const std::string& name, const std::string& value);
    // True when this construction found no row and set the table up.
    [[nodiscard]] bool isFirstLaunch() const;

private:
    void readAll();
    void createTable();

    std::unique_ptr<Database> database;
    std::unique_ptr<Query> query;
    nocase_wstring path;
    std::map<std::string, std::string> values;
    bool firstLaunch = false;
};
