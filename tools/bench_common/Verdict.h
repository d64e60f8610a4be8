#pragma once

// How a benchmark reports a target: "met" or "MISSED".
const char* verdict(bool met);
