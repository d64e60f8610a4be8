#pragma once

#include <string>
#include <vector>

// Runs another program (openssl, 7z, python3, ...) without a shell, in
// folder when one is given, and waits for it. Both throw std::runtime_error
// unless it exits with 0.
void runProgram(const std::vector<std::string>& arguments, const std::string& folder = "");
// The same, returning what the program wrote to its standard output.
std::string outputOfProgram(const std::vector<std::string>& arguments, const std::string& folder = "");

// Whether program is found on $PATH.
bool programAvailable(const std::string& program);
