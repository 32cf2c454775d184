// The trusted-digest list's text: what sha256sum prints, comments, blanks.
#include "integrity/trusted_digests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn {
namespace {

using namespace std::string_literals;

const std::string kA(64, 'a');
const std::string kUpperA(64, 'A');
const std::string kB = std::string(63, '0') + "F";

// ASCII text as UTF-16 after its byte order mark.
std::string utf16(const std::string& text, bool little_endian) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char c : text) {
    bytes += little_endian ? std::string{c, '\0'} : std::string{'\0', c};
  }
  return bytes;
}

struct ListCase {
  const char* name;
  std::string text;
  std::vector<std::string> digests;  // when it parses
  std::size_t bad_line;              // 0: it parses
  bool strict_code = false;
  ListEncoding encoding = ListEncoding::utf8;
  std::size_t publishers = 0;
};

class TrustedDigestsTable : public ::testing::TestWithParam<ListCase> {};

TEST_P(TrustedDigestsTable, Parses) {
  const ListCase& c = GetParam();
  TrustedDigests list;
  std::size_t bad_line = 99;
  EXPECT_EQ(parse_trusted_digests(c.text, list, bad_line), c.bad_line == 0);
  EXPECT_EQ(bad_line, c.bad_line);
  EXPECT_EQ(list.digests, c.digests);
  EXPECT_EQ(list.strict_code, c.strict_code);
  EXPECT_EQ(list.encoding, c.encoding);
  EXPECT_EQ(list.publishers.size(), c.publishers);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TrustedDigestsTable,
    ::testing::Values(
        ListCase{"Empty", "", {}, 0},
        ListCase{"TextMode", kA + "  game\n", {kUpperA}, 0},
        ListCase{"BinaryMode", kA + " *vorn_guard.dll\n", {kUpperA}, 0},
        ListCase{"DigitsAlone", kA, {kUpperA}, 0},
        ListCase{"TabAndBlanksAround", "  " + kA + "\t game x\n", {kUpperA}, 0},
        ListCase{"EscapedName", "\\" + kA + "  a\\nb\n", {kUpperA}, 0},
        ListCase{"CrLfAndLastLineWithoutEnd",
                 kB + "  b\r\n" + kA + "  a",
                 {kB, kUpperA},
                 0},
        ListCase{"CommentsAndBlanks",
                 "# builds\r\n\n \t\n  # " + kA + "\n" + kA + "\n",
                 {kUpperA},
                 0},
        ListCase{"RepeatsOnce", kA + "\n" + kUpperA + "\n", {kUpperA}, 0},
        ListCase{"ShortDigits", kA.substr(1) + "  x\n", {}, 1},
        ListCase{"LongDigits", kA + "a  x\n", {}, 1},
        ListCase{"NonHex", "\n" + std::string(63, 'a') + "g\n", {}, 2},
        ListCase{"NameWithoutSeparator", kA + "*x\n", {}, 1},
        ListCase{"OtherTool", "SHA256 (game) = " + kA + "\n", {}, 1},
        ListCase{"LoneCarriageReturn", kA + "\n\r\r\n", {}, 2},
        ListCase{"ThirdLineBad", kA + "\n#\nnot a digest\n" + kA, {}, 3},
        ListCase{"StrictCode", kA + "\n strict-code \r\n", {kUpperA}, 0, true},
        ListCase{"StrictCodeMisspelt", "strict-codes\n", {}, 1},
        ListCase{"StrictCodeInABadList", "strict-code\nx\n", {}, 2},
        ListCase{"Utf8ByteOrderMark",
                 "\xEF\xBB\xBF" + kA + "  g\xC3\xA4me\r\n",
                 {kUpperA},
                 0,
                 false,
                 ListEncoding::utf8_bom},
        ListCase{"Utf16LittleEndian",
                 utf16(kA + "  game\r\n" + kB, true),
                 {kB, kUpperA},
                 0,
                 false,
                 ListEncoding::utf16_le},
        ListCase{"Utf16BigEndian",
                 utf16("strict-code\n" + kA, false),
                 {kUpperA},
                 0,
                 true,
                 ListEncoding::utf16_be},
        ListCase{"Utf16NonAsciiLabel",
                 utf16(kA + "  ", true) + "\xE4\0\x3D\xD8\x00\xDE"s,
                 {kUpperA},
                 0,
                 false,
                 ListEncoding::utf16_le},
        ListCase{"Utf16WithoutMark", utf16(kA, true).substr(2), {}, 1},
        ListCase{"Utf16OddLength", utf16(kA, true) + "\n", {}, kNotUtf16},
        ListCase{
            "Utf16LoneSurrogate", utf16(kA, true) + "\x00\xD8"s, {}, kNotUtf16},
        ListCase{"MarkNotAtTheStart", kA + "\n\xEF\xBB\xBF" + kA, {}, 2},
        ListCase{"Publishers",
                 "publisher ed25519 " + kA + " Studio A\n" + kA +
                     "\n publisher\tcert-sha256  " + kB + "\r\n" +
                     "publisher ed25519 " + kUpperA,
                 {kUpperA},
                 0,
                 false,
                 ListEncoding::utf8,
                 2},
        ListCase{"PublisherOfUnknownKind", "publisher rsa " + kA, {}, 1},
        ListCase{
            "PublisherShortKey", "publisher ed25519 " + kB.substr(1), {}, 1},
        ListCase{"PublisherKeyRunsIntoLabel",
                 "publisher ed25519 " + kA + "x",
                 {},
                 1},
        ListCase{"PublisherWithoutKey", "publisher ed25519\n", {}, 1}),
    [](const ::testing::TestParamInfo<ListCase>& param_info) {
      return param_info.param.name;
    });

TEST(TrustedDigests, ListsInAnyCase) {
  TrustedDigests list;
  std::size_t bad_line = 0;
  ASSERT_TRUE(parse_trusted_digests(kA + "\n", list, bad_line));
  EXPECT_TRUE(list.lists(kA));
  EXPECT_TRUE(list.lists(kUpperA));
  EXPECT_FALSE(list.lists(kB));
}

TEST(TrustedDigests, ListsAPublisherOfItsKindOnly) {
  TrustedDigests list;
  std::size_t bad_line = 0;
  ASSERT_TRUE(
      parse_trusted_digests("publisher cert-sha256 " + kB, list, bad_line));
  os::Signer certificate{os::SignerKind::certificate, {}};
  certificate.id[31] = 0x0F;
  os::Signer key = certificate;
  key.kind = os::SignerKind::ed25519_key;
  EXPECT_TRUE(list.lists_any({key, certificate}));
  EXPECT_FALSE(list.lists_any({key}));
  EXPECT_FALSE(list.lists_any({}));
}

}  // namespace
}  // namespace vorn
