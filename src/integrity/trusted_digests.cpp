#include "integrity/trusted_digests.h"

#include <algorithm>
#include <cstdint>

#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn {

namespace {

// An entry is an evidence value the list trusts.
constexpr std::size_t kDigestDigits = kEvidenceDigits;
constexpr char kStrictCode[] = "strict-code";
constexpr char kPublisher[] = "publisher";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::size_t skip_blanks(const std::string& line, std::size_t at) {
  while (at < line.size() && is_blank(line[at])) ++at;
  return at;
}

// The word that starts at `at`, up to a blank or the line's end.
std::string word_at(const std::string& line, std::size_t at) {
  std::size_t end = at;
  while (end < line.size() && !is_blank(line[end])) ++end;
  return line.substr(at, end - at);
}

// "publisher <kind> <64 hex digits> [label]", from the line's first word on.
bool parse_publisher(const std::string& line, std::size_t at,
                     os::Signer& publisher) {
  at = skip_blanks(line, at + sizeof kPublisher - 1);
  const std::string kind = word_at(line, at);
  if (kind == "ed25519") {
    publisher.kind = os::SignerKind::ed25519_key;
  } else if (kind == "cert-sha256") {
    publisher.kind = os::SignerKind::certificate;
  } else {
    return false;
  }
  at = skip_blanks(line, at + kind.size());
  const std::string digits = word_at(line, at);
  if (digits.size() != 2 * publisher.id.size() || !is_hex_text(digits)) {
    return false;
  }
  const auto nibble = [](char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
  };
  for (std::size_t i = 0; i < publisher.id.size(); ++i) {
    publisher.id[i] = static_cast<std::uint8_t>(nibble(digits[2 * i]) * 16 +
                                                nibble(digits[2 * i + 1]));
  }
  return true;
}

bool by_kind_and_id(const os::Signer& a, const os::Signer& b) {
  return a.kind != b.kind ? a.kind < b.kind : a.id < b.id;
}

// One line without its line end. True when it is an entry (then `digest`
// holds it, upper-case), a publisher (added to the list's), the strict-code
// line, a comment or blank (then `digest` is empty).
bool parse_line(const std::string& line, std::string& digest,
                TrustedDigests& list) {
  digest.clear();
  std::size_t at = 0;
  while (at < line.size() && is_blank(line[at])) ++at;
  if (at == line.size() || line[at] == '#') return true;
  std::size_t end = line.size();
  while (end > at && is_blank(line[end - 1])) --end;
  if (line.compare(at, end - at, kStrictCode) == 0) {
    list.strict_code = true;
    return true;
  }
  if (word_at(line, at) == kPublisher) {
    os::Signer publisher;
    if (!parse_publisher(line, at, publisher)) return false;
    list.publishers.push_back(publisher);
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

// UTF-16 in the given byte order to UTF-8; false for an odd length or a
// surrogate without its pair.
bool utf16_to_utf8(const std::string& bytes, bool little_endian,
                   std::string& text) {
  if (bytes.size() % 2 != 0) return false;
  const auto unit_at = [&](std::size_t at) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    return little_endian ? first | (second << 8) : (first << 8) | second;
  };
  text.clear();
  for (std::size_t at = 0; at < bytes.size(); at += 2) {
    std::uint32_t point = static_cast<std::uint32_t>(unit_at(at));
    if (point >= 0xDC00 && point <= 0xDFFF) return false;
    if (point >= 0xD800 && point <= 0xDBFF) {
      at += 2;
      if (at >= bytes.size()) return false;
      const auto low = static_cast<std::uint32_t>(unit_at(at));
      if (low < 0xDC00 || low > 0xDFFF) return false;
      point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
    }
    if (point < 0x80) {
      text.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (point >> 6)));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (point >> 12)));
      text.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (point >> 18)));
      text.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
  }
  return true;
}

// The list's text as UTF-8, without a byte order mark.
bool decode(const std::string& bytes, std::string& text,
            ListEncoding& encoding) {
  const auto starts_with = [&](const char* mark, std::size_t size) {
    return bytes.compare(0, size, mark, size) == 0;
  };
  if (starts_with("\xEF\xBB\xBF", 3)) {
    encoding = ListEncoding::utf8_bom;
    text = bytes.substr(3);
    return true;
  }
  if (starts_with("\xFF\xFE", 2) || starts_with("\xFE\xFF", 2)) {
    const bool little_endian = bytes[0] == '\xFF';
    encoding = little_endian ? ListEncoding::utf16_le : ListEncoding::utf16_be;
    return utf16_to_utf8(bytes.substr(2), little_endian, text);
  }
  encoding = ListEncoding::utf8;
  text = bytes;
  return true;
}

}  // namespace

const char* encoding_name(ListEncoding encoding) {
  switch (encoding) {
    case ListEncoding::utf8_bom:
      return "UTF-8 with BOM";
    case ListEncoding::utf16_le:
      return "UTF-16 LE with BOM";
    case ListEncoding::utf16_be:
      return "UTF-16 BE with BOM";
    case ListEncoding::utf8:
      break;
  }
  return "UTF-8";
}

bool TrustedDigests::lists(const std::string& evidence) const {
  return std::binary_search(digests.begin(), digests.end(),
                            upper_case(evidence));
}

bool TrustedDigests::lists_any(const std::vector<os::Signer>& signers) const {
  return std::any_of(signers.begin(), signers.end(), [&](const os::Signer& s) {
    return std::binary_search(publishers.begin(), publishers.end(), s,
                              by_kind_and_id);
  });
}

bool parse_trusted_digests(const std::string& bytes, TrustedDigests& list,
                           std::size_t& bad_line) {
  list = TrustedDigests();
  bad_line = 0;
  std::string text;
  ListEncoding encoding = ListEncoding::utf8;
  if (!decode(bytes, text, encoding)) {
    bad_line = kNotUtf16;
    return false;
  }
  std::size_t line_number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    ++line_number;
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string digest;
    if (!parse_line(line, digest, list)) {
      list = TrustedDigests();
      bad_line = line_number;
      return false;
    }
    if (!digest.empty()) list.digests.push_back(digest);
    start = end + 1;
  }
  list.encoding = encoding;
  std::sort(list.digests.begin(), list.digests.end());
  list.digests.erase(std::unique(list.digests.begin(), list.digests.end()),
                     list.digests.end());
  std::sort(list.publishers.begin(), list.publishers.end(), by_kind_and_id);
  list.publishers.erase(
      std::unique(list.publishers.begin(), list.publishers.end()),
      list.publishers.end());
  return true;
}

}  // namespace vorn
