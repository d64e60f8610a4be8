#pragma once

// What kist tells its caller: 0 done, 1 the engine refused, 2 a usage error or
// a password that was wrong or missing.
enum class ExitStatus : int {
    Done = 0,
    Refused = 1,
    UsageOrPassword = 2,
};

// With several arguments the worst outcome wins.
[[nodiscard]] constexpr ExitStatus worse(ExitStatus a, ExitStatus b)
{
    return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}
