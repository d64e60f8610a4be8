#pragma once

#include <cstdio>
#include <exception>

#include "engine/ExceptionModule.h"

// Runs a benchmark and turns its failure into "<program>: <message>" on
// stderr and exit status 1. Header only: ExceptionModule comes from whichever
// engine library the benchmark links, static or shared.
template <typename Benchmark>
int runReportingFailure(const char* program, Benchmark&& benchmark)
{
    try {
        return benchmark();
    } catch (const ExceptionModule& error) {
        // The engine's text is in getMessage() and getCause(), not in what().
        std::fprintf(stderr, "%s: %s %s\n", program, error.getMessage().c_str(), error.getCause().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", program, error.what());
    }
    return 1;
}
