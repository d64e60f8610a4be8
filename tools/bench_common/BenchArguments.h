#pragma once

#include <cstdint>
#include <string>

// Steps through a benchmark's options. A mistake prints
// "<program>: <message>" and the usage line on stderr and ends the program
// with status 1, and so does --help, with what the program measures.
class BenchArguments {
public:
    BenchArguments(std::string program, std::string usageLine, std::string purpose, int argc, char** argv);

    // Steps to the next option, answering --help and -h itself; false after
    // the last one.
    bool next();
    const std::string& option() const { return current; }
    // The word after the option.
    std::string value();
    // The word after the option as a whole number from 1 to most.
    std::uint64_t positiveNumber(std::uint64_t most = 1000000000);

    [[noreturn]] void rejectOption() const;
    [[noreturn]] void fail(const std::string& message) const;

private:
    std::string program;
    std::string usageLine;
    std::string purpose;
    int count;
    char** words;
    int index = 0;
    std::string current;
};

// Where scratch folders go unless --dir says otherwise: $TMPDIR, else /var/tmp.
std::string defaultScratchParent();
