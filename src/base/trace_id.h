#pragma once

#include <cstdint>
#include <string>

// A new trace id: milliseconds since 1970 in decimal, "_", ten random letters a to z
// (for example 1733793600123_kqzvbnemla).
std::string NewTraceId();

// This process's creation time in milliseconds since 1970, read once and kept; 0 while it cannot
// be read (the next call tries again).
std::uint64_t ProcessStartTimeMs();
