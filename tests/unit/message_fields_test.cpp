// The field rules of the text protocol: cutting, comparing, reading and
// writing numbers, case, hex digits, file names and log escaping.
#include "protocol/message_fields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vorn {
namespace {

using namespace std::string_literals;

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

// Shows zero bytes and control bytes in failure messages.
std::string visible(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0x0F];
    }
  }
  return out;
}

// ---------------------------------------------------------------- split

struct SplitCase {
  std::string message;
  FieldList fields;
};

TEST(SplitFields, Examples) {
  const std::vector<SplitCase> cases = {
      {"", {}},
      {"PING", {"PING"}},
      {"a|b", {"a", "b"}},
      {"a|", {"a"}},
      {"|", {""}},
      {"a||", {"a", ""}},
      {"a||b", {"a", "", "b"}},
      {"|a", {"", "a"}},
      {"||", {"", ""}},
      {"|||", {"", "", ""}},
      // A PING ending in a bar has three fields; a second bar adds an empty
      // fourth.
      {"PING|tok|5|", {"PING", "tok", "5"}},
      {"PING|tok|5||", {"PING", "tok", "5", ""}},
      // Nothing is trimmed: blanks, tabs, CR and LF belong to their field.
      {" a | b ", {" a ", " b "}},
      {"a\tb|\t", {"a\tb", "\t"}},
      {"a\r\nb|c", {"a\r\nb", "c"}},
      {"\r\n|x", {"\r\n", "x"}},
      {"x|\r\n", {"x", "\r\n"}},
      // Zero bytes are ordinary bytes of their field.
      {"a\0b|c"s, {"a\0b"s, "c"}},
      {"\0|\0"s, {"\0"s, "\0"s}},
      {"\0"s, {"\0"s}},
      {"a|\0"s, {"a", "\0"s}},
      {"HELLO|42|tag-tag-tag-|AB|CD",
       {"HELLO", "42", "tag-tag-tag-", "AB", "CD"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(split_fields(c.message), c.fields)
        << "message: \"" << visible(c.message) << "\"";
  }
}

TEST(SplitFields, LongestMessageOfBarsGivesOneFieldPerBar) {
  const std::string bars(2047, '|');
  const FieldList fields = split_fields(bars);
  ASSERT_EQ(fields.size(), 2047u);
  for (const std::string& field : fields) EXPECT_TRUE(field.empty());
}

TEST(SplitFields, HighBytesStayInTheirField) {
  const std::string message = "\x80\xFF|\xE4\xF6\xFC";
  EXPECT_EQ(split_fields(message), (FieldList{"\x80\xFF", "\xE4\xF6\xFC"}));
}

// ---------------------------------------------------------------- equality

struct EqualsCase {
  std::string a;
  std::string b;
  bool equal;
};

TEST(TextEquals, Table) {
  const std::vector<EqualsCase> cases = {
      {"PING", "PING", true},
      {"ping", "PING", false},
      {"PING", "ping", false},
      {"PING", "PING ", false},
      {"PING ", "PING", false},
      {" PING", "PING", false},
      {"", "", true},
      {"", "a", false},
      {"a", "", false},
      {"abc", "abd", false},
      {"abc", "xbc", false},
      {"abc", "ab", false},
      // Zero bytes count like any other byte, and so does the length.
      {"a\0b"s, "a\0b"s, true},
      {"a\0b"s, "a\0c"s, false},
      {"a"s, "a\0"s, false},
      {"a\0"s, "a"s, false},
      {"\0"s, ""s, false},
      {"\0"s, "\0"s, true},
      {"\xFF", "\xFF", true},
      {"\xE4", "\xC4", false},
  };
  for (const EqualsCase& c : cases) {
    EXPECT_EQ(text_equals(c.a, c.b), c.equal)
        << "a: \"" << visible(c.a) << "\" b: \"" << visible(c.b) << "\"";
  }
}

// ---------------------------------------------------------------- format

TEST(FormatDecimal, U32) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {0u, "0"},
      {1u, "1"},
      {9u, "9"},
      {10u, "10"},
      {100u, "100"},
      {4321u, "4321"},
      {1000000u, "1000000"},
      {4294967294u, "4294967294"},
      {kU32Max, "4294967295"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_decimal_u32(c.first), c.second) << c.first;
  }
}

TEST(FormatDecimal, I64) {
  const std::vector<std::pair<std::int64_t, std::string>> cases = {
      {0, "0"},
      {1, "1"},
      {-1, "-1"},
      {7, "7"},
      {10, "10"},
      {-10, "-10"},
      {100, "100"},
      {4294967296LL, "4294967296"},
      {kI64Max, "9223372036854775807"},
      {kI64Min, "-9223372036854775808"},
      {kI64Min + 1, "-9223372036854775807"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_decimal_i64(c.first), c.second) << c.first;
  }
}

// ---------------------------------------------------------------- parse

struct U32Case {
  std::string text;
  std::uint32_t value;
};

TEST(ParseDecimal, U32) {
  const std::vector<U32Case> cases = {
      {"42", 42u},
      {" 42", 42u},
      {"+42", 42u},
      {"42abc", 42u},
      {"abc", 0u},
      {"", 0u},
      {"0", 0u},
      {"4294967295", kU32Max},
      {"4294967296", kU32Max},
      {"4294967294", 4294967294u},
      {"99999999999999999999999", kU32Max},
      {"18446744073709551616", kU32Max},
      // A minus sign negates modulo 2^32, unless the magnitude saturates.
      {"-1", kU32Max},
      {"-2", 4294967294u},
      {"-0", 0u},
      {"-4294967295", 1u},
      {"-4294967296", kU32Max},
      {"-99999999999999999999999", kU32Max},
      // No prefixes for other bases.
      {"0x10", 0u},
      {"0X1F", 0u},
      {"010", 10u},
      // Every white space byte of the C locale, then the digits.
      {"\t\n\v\f\r 7", 7u},
      {"  \t+17x", 17u},
      {"\xA0"
       "5",
       0u},
      {"1 2", 1u},
      // The text ends at its first zero byte.
      {"1\0002"s, 1u},
      {"\0005"s, 0u},
      {"12\0"s, 12u},
      // A sign alone, or a sign not followed by a digit, reads nothing.
      {"+", 0u},
      {"-", 0u},
      {"- 5", 0u},
      {"+-5", 0u},
      {"--5", 0u},
      {"++5", 0u},
      // Leading zeros do not count towards the range.
      {"007", 7u},
      {"0000000000000000000042", 42u},
      {"00000000004294967295", kU32Max},
      {"00000000004294967296", kU32Max},
  };
  for (const U32Case& c : cases) {
    EXPECT_EQ(parse_decimal_u32(c.text), c.value)
        << "text: \"" << visible(c.text) << "\"";
  }
}

struct I64Case {
  std::string text;
  std::int64_t value;
};

TEST(ParseDecimal, I64) {
  const std::string nines(25, '9');
  const std::vector<I64Case> cases = {
      {"-1", -1},
      {"1", 1},
      {"0", 0},
      {"-0", 0},
      {"+0", 0},
      {"007", 7},
      {" 42", 42},
      {"+42", 42},
      {"42abc", 42},
      {"abc", 0},
      {"", 0},
      {"0x10", 0},
      {"\t\n\v\f\r -7", -7},
      {"9223372036854775807", kI64Max},
      {"9223372036854775808", kI64Max},
      {"-9223372036854775807", kI64Min + 1},
      {"-9223372036854775808", kI64Min},
      {"-9223372036854775809", kI64Min},
      // Magnitudes that overflow unsigned 64-bit arithmetic as well.
      {"18446744073709551615", kI64Max},
      {"18446744073709551616", kI64Max},
      {"-18446744073709551615", kI64Min},
      {"-18446744073709551616", kI64Min},
      {nines, kI64Max},
      {"-" + nines, kI64Min},
      {"+" + nines, kI64Max},
      {"0000000000000000000009223372036854775807", kI64Max},
      {"-000000000000000000009223372036854775808", kI64Min},
      {"5\0009"s, 5},
      {"\0005"s, 0},
      {"+", 0},
      {"-", 0},
      {"- 5", 0},
      {"+-5", 0},
      {"12 34", 12},
      {"4294967296", 4294967296LL},
      {"-4294967296", -4294967296LL},
  };
  for (const I64Case& c : cases) {
    EXPECT_EQ(parse_decimal_i64(c.text), c.value)
        << "text: \"" << visible(c.text) << "\"";
  }
}

TEST(ParseDecimal, LeadingZerosAreNotWrittenBack) {
  EXPECT_EQ(format_decimal_i64(parse_decimal_i64("007")), "7");
  EXPECT_EQ(format_decimal_u32(parse_decimal_u32("0004321")), "4321");
}

TEST(ParseDecimal, FormattedValuesReadBack) {
  const std::vector<std::int64_t> values = {0,      1,       -1,     12345,
                                            -98765, kI64Max, kI64Min};
  for (std::int64_t v : values) {
    EXPECT_EQ(parse_decimal_i64(format_decimal_i64(v)), v);
  }
  const std::vector<std::uint32_t> u_values = {0u, 1u, 4321u, kU32Max};
  for (std::uint32_t v : u_values) {
    EXPECT_EQ(parse_decimal_u32(format_decimal_u32(v)), v);
  }
}

// ---------------------------------------------------------------- case

TEST(UpperCase, MixedTextAndArgumentKept) {
  const std::string text = "ab09_-|zZ\xE4\xFF\x80q\0x"s;
  const std::string copy = text;
  EXPECT_EQ(upper_case(text), "AB09_-|ZZ\xE4\xFF\x80Q\0X"s);
  EXPECT_EQ(text, copy);
  EXPECT_EQ(upper_case(""), "");
  // Hex digits of evidence; only a to z change, not their neighbours.
  EXPECT_EQ(upper_case("0123456789abcdef"), "0123456789ABCDEF");
  EXPECT_EQ(upper_case("@[`{\x7F\xE0\xFE"), "@[`{\x7F\xE0\xFE");
}

// ---------------------------------------------------------------- hex

TEST(IsHexText, Texts) {
  const std::string sixty_four(64, 'a');
  std::string with_g = std::string(32, 'F') + "g" + std::string(31, '0');
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"0123456789", true},
      {"ABCDEF", true},
      {"abcdef", true},
      {"0123456789ABCDEFabcdef", true},
      {sixty_four, true},
      {with_g, false},
      {"0x", false},
      {"0x10", false},
      {"12 34", false},
      {" 12", false},
      {"12 ", false},
      {"AB\x80", false},
      {"\xC1"
       "1",
       false},
      {"ab\xFF", false},
      {"ab\0"s, false},
      {"\0"s, false},
      {"-1", false},
      {"+1", false},
      // The neighbours of the digit and letter ranges.
      {"/", false},
      {":", false},
      {"@", false},
      {"G", false},
      {"`", false},
      {"g", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_hex_text(c.first), c.second)
        << "text: \"" << visible(c.first) << "\"";
  }
}

// ---------------------------------------------------------------- paths

TEST(FileNameFromPath, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Games\\client.exe", "client.exe"},
      {"/usr/bin/x", "x"},
      {"C:/Games\\sub/client.exe", "client.exe"},
      {"C:\\Games/sub\\client.exe", "client.exe"},
      {"/opt/game\\dir/bin\\Game.EXE", "Game.EXE"},
      {"client.exe", "client.exe"},
      {"C:\\Games\\", ""},
      {"/usr/bin/", ""},
      {"C:\\Games/", ""},
      {"\\", ""},
      {"/", ""},
      {"", ""},
      {"C:client.exe", "C:client.exe"},
      {"\\\\server\\share\\x.exe", "x.exe"},
      {"dir\\a.b.c", "a.b.c"},
      {"dir/.hidden", ".hidden"},
      {"dir/name with blank", "name with blank"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file_name_from_path(c.first), c.second)
        << "path: \"" << c.first << "\"";
  }
}

// ---------------------------------------------------------------- log values

TEST(EscapeLogValue, PlainTextUnchanged) {
  const std::vector<std::string> plain = {
      "",
      "client.exe",
      "Game Client (x64).exe",
      "a|b=c;d'e\"f",
      "~!@#$%^&*()_+{}[]:<>?,./",
      " ",
      "\x80\xA0\xFF",
      // Neighbours of the layout controls, and one cut short.
      "\xE2\x80\xA7 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA \xE2\x80",
  };
  for (const std::string& text : plain) {
    EXPECT_EQ(escape_log_value(text), text);
  }
}

TEST(EscapeLogValue, CraftedFileName) {
  // Line breaks, a terminal's escape sequence, the lowest and highest
  // control bytes, DEL and the backslash are escaped; high bytes are not.
  const std::string name =
      "evil\nENFORCEMENT pid=1\r\tx\0y\x7F\\z\xE4\xFF\x1B[2K\x01\x1F.exe"s;
  EXPECT_EQ(escape_log_value(name),
            "evil\\x0AENFORCEMENT pid=1\\x0D\\x09x\\x00y\\x7F\\x5Cz\xE4\xFF"
            "\\x1B[2K\\x01\\x1F.exe");
}

TEST(EscapeLogValue, LineSeparatorsAndBidirectionalControls) {
  // U+2028, U+2029, U+202A-U+202E and U+2066-U+2069: each of their bytes.
  const std::pair<std::string, std::string> cases[] = {
      {"a\xE2\x80\xA8"
       "b",
       "a\\xE2\\x80\\xA8b"},
      {"\xE2\x80\xA9", "\\xE2\\x80\\xA9"},
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD",
       "\\xE2\\x80\\xAA\\xE2\\x80\\xAB\\xE2\\x80\\xAC\\xE2\\x80\\xAD"},
      {"gnp.\xE2\x80\xAE"
       "exe",
       "gnp.\\xE2\\x80\\xAEexe"},
      {"\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9",
       "\\xE2\\x81\\xA6\\xE2\\x81\\xA7\\xE2\\x81\\xA8\\xE2\\x81\\xA9"},
  };
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(escape_log_value(text), escaped);
  }
}

}  // namespace
}  // namespace vorn
