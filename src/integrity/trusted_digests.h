// The operator's list of trusted evidence values: what `sha256sum` prints,
// one entry a line; and the publishers whose signature on a file trusts it
// as well as its listed digest would.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

namespace vorn {

// How the list's bytes were written: plain UTF-8 (or ASCII), or with a byte
// order mark, as Windows editors and PowerShell's `>` and Out-File write.
enum class ListEncoding { utf8, utf8_bom, utf16_le, utf16_be };

// "UTF-8", "UTF-8 with BOM", "UTF-16 LE with BOM", "UTF-16 BE with BOM".
const char* encoding_name(ListEncoding encoding);

// Upper-case, sorted, without repeats.
struct TrustedDigests {
  std::vector<std::string> digests;
  // The line "strict-code": every other file a client runs code from must be
  // a system file or listed too.
  bool strict_code = false;
  // Lines "publisher ed25519 <public key>" and "publisher cert-sha256
  // <certificate thumbprint>", each key or thumbprint 64 hex digits, then
  // an optional label: sorted, without repeats.
  std::vector<os::Signer> publishers;
  ListEncoding encoding = ListEncoding::utf8;
  bool lists(const std::string& evidence) const;
  // One of `signers` is a listed publisher.
  bool lists_any(const std::vector<os::Signer>& signers) const;
};

// Reads the list's bytes: UTF-8, or UTF-8 or UTF-16 (either order) after a
// byte order mark. An entry is 64 hex digits (any case), optionally
// after blanks and sha256sum's '\' for an escaped name, then the line's end
// or blanks or tabs, an optional '*' and a name that is only a label. Blank
// lines and lines whose first non-blank byte is '#' are ignored; a line that
// says "strict-code" (blanks around allowed) sets strict_code; a publisher
// line adds to publishers (an unknown kind is a bad line). LF or CR LF
// ends a line; a last line without one counts. False, with the 1-based
// number of the first line that is none of these, otherwise (kNotUtf16 when
// the bytes after a UTF-16 mark are not UTF-16: an odd length, a lone
// surrogate).
constexpr std::size_t kNotUtf16 = static_cast<std::size_t>(-1);
bool parse_trusted_digests(const std::string& bytes, TrustedDigests& list,
                           std::size_t& bad_line);

}  // namespace vorn
