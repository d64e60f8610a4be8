#include "tools/bench_common/BenchArguments.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

BenchArguments::BenchArguments(std::string programName, std::string usage, std::string measures, int argc,
                               char** argv)
    : program(std::move(programName))
    , usageLine(std::move(usage))
    , purpose(std::move(measures))
    , count(argc)
    , words(argv)
{
}

bool BenchArguments::next()
{
    if (index + 1 >= count)
        return false;
    current = words[++index];
    if (current == "--help" || current == "-h")
        fail(purpose);
    return true;
}

std::string BenchArguments::value()
{
    if (index + 1 >= count)
        fail("missing value after " + current);
    return words[++index];
}

std::uint64_t BenchArguments::positiveNumber(std::uint64_t most)
{
    const std::string text = value();
    // strtoull would take a sign and white space before the digits.
    const bool digitsOnly = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long long number = digitsOnly ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (number == 0 || number > most)
        fail(current + " takes a positive number");
    return number;
}

void BenchArguments::rejectOption() const
{
    fail("unknown argument " + current);
}

void BenchArguments::fail(const std::string& message) const
{
    std::fprintf(stderr, "%s: %s\nusage: %s\n", program.c_str(), message.c_str(), usageLine.c_str());
    std::exit(1);
}

std::string defaultScratchParent()
{
    const char* temporary = std::getenv("TMPDIR");
    return temporary != nullptr && *temporary != '\0' ? temporary : "/var/tmp";
}
