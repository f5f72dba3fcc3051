// Public header: reading name/value pairs from a text stream.
//
// The text form is one pair per line, `name=value`:
//  - blanks (spaces and tabs) around the name are dropped;
//  - the value is everything after the first '=' up to the end of the line,
//    kept as it is except for a trailing CR (so CR LF text reads the same);
//  - empty lines (nothing, or only a CR) are skipped.
// A `GET_MEASURE` reply "cpu=12\nmem=300\n" is thus two pairs.
#pragma once

#include <istream>
#include <string>

#include "platform/hx_export.h"

class HX_NET_API NVUtil {
 public:
  // Reads the next pair into `name` and `value` and returns true. Returns
  // false, assigning nothing, at the end of the stream or on a line that has
  // no '=' or whose name is empty; that line has been consumed then.
  static bool ReadFromStream(std::istream& in, std::string& name, std::string& value);
};
