#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/kist/KistTool.h"

int main(int argc, char** argv)
{
    // A reader that goes away (kist list | head) must not end the program in
    // the middle of an operation; the failed write is reported instead.
    (void)std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return KistTool(std::cout, std::cerr).run(arguments);
}
