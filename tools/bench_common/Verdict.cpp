#include "tools/bench_common/Verdict.h"

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}
