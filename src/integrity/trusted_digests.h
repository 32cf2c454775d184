// The operator's list of trusted evidence values: what `sha256sum` prints,
// one entry a line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorn {

// Upper-case, sorted, without repeats.
struct TrustedDigests {
  std::vector<std::string> digests;
  // The line "strict-code": every other file a client runs code from must be
  // a system file or listed too.
  bool strict_code = false;
  bool lists(const std::string& evidence) const;
};

// Reads the list's text. An entry is 64 hex digits (any case), optionally
// after blanks and sha256sum's '\' for an escaped name, then the line's end
// or blanks or tabs, an optional '*' and a name that is only a label. Blank
// lines and lines whose first non-blank byte is '#' are ignored; a line that
// says "strict-code" (blanks around allowed) sets strict_code. LF or CR LF
// ends a line; a last line without one counts. False, with the 1-based
// number of the first line that is none of these, otherwise.
bool parse_trusted_digests(const std::string& text, TrustedDigests& list,
                           std::size_t& bad_line);

}  // namespace vorn
