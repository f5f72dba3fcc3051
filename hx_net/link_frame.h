// Internal header: the frame header parser shared by the read path, the
// tests and the fuzz targets.
#pragma once

#include <cstdint>

// Parses a strict 10-byte frame header: any type byte, one blank, exactly
// eight hexadecimal digits (either case). False for anything else; `length`
// is then untouched.
bool ParseFrameHeader(const char* header, uint64_t& length);
