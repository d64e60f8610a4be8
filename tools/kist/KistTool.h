#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The kist program: reads the command line, runs the command and answers
// with the exit status.
class KistTool {
public:
    KistTool(std::ostream& out, std::ostream& err);

    // arguments: without the program name.
    [[nodiscard]] int run(const std::vector<std::string>& arguments);

private:
    std::ostream& out;
    std::ostream& err;
};
