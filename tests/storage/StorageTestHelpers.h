#pragma once

#include <string>
#include <sys/types.h>

// Helpers shared by the storage tests.
namespace storagetest {

// A path for a database file in a fresh scratch folder (the file does not
// exist yet).
std::string newDatabasePath(const std::string& hint);

// Permission bits of a file (st_mode & 0777); -1 when it cannot be read.
int fileMode(const std::string& path);

// How many of this process's descriptors refer to the file.
int openDescriptorsOn(const std::string& path);

struct ToolRun {
    int exitStatus = -1;
    std::string output; // stdout and stderr together
};

// Runs the sqlcipher command-line tool on the database with the script on
// its standard input.
ToolRun runSqlcipher(const std::string& databasePath, const std::string& script);

} // namespace storagetest
