#include "integrity/trusted_digests.h"

#include <algorithm>

#include "protocol/message_fields.h"

namespace vorn {

namespace {

constexpr std::size_t kDigestDigits = 64;
constexpr char kStrictCode[] = "strict-code";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One line without its line end. True when it is an entry (then `digest`
// holds it, upper-case), the strict-code line, a comment or blank (then
// `digest` is empty).
bool parse_line(const std::string& line, std::string& digest,
                bool& strict_code) {
  digest.clear();
  std::size_t at = 0;
  while (at < line.size() && is_blank(line[at])) ++at;
  if (at == line.size() || line[at] == '#') return true;
  std::size_t end = line.size();
  while (end > at && is_blank(line[end - 1])) --end;
  if (line.compare(at, end - at, kStrictCode) == 0) {
    strict_code = true;
    return true;
  }
  // sha256sum starts the line with '\' when it escaped the name.
  if (line[at] == '\\') ++at;
  if (line.size() - at < kDigestDigits) return false;
  const std::string digits = line.substr(at, kDigestDigits);
  if (!is_hex_text(digits)) return false;
  at += kDigestDigits;
  // Digits alone, or a separator before the label.
  if (at < line.size() && !is_blank(line[at])) return false;
  digest = upper_case(digits);
  return true;
}

}  // namespace

bool TrustedDigests::lists(const std::string& evidence) const {
  return std::binary_search(digests.begin(), digests.end(),
                            upper_case(evidence));
}

bool parse_trusted_digests(const std::string& text, TrustedDigests& list,
                           std::size_t& bad_line) {
  list = TrustedDigests();
  bad_line = 0;
  std::size_t line_number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    ++line_number;
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string digest;
    if (!parse_line(line, digest, list.strict_code)) {
      list = TrustedDigests();
      bad_line = line_number;
      return false;
    }
    if (!digest.empty()) list.digests.push_back(digest);
    start = end + 1;
  }
  std::sort(list.digests.begin(), list.digests.end());
  list.digests.erase(std::unique(list.digests.begin(), list.digests.end()),
                     list.digests.end());
  return true;
}

}  // namespace vorn
