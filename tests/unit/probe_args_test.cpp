// The probe's command line, its message templates and display escaping.
#include "probe/probe_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn::probe {
namespace {

// ---------------------------------------------------------------- templates

// A failure read as its words: empty when the template was taken.
bool parse_template(const std::string& source, MessageTemplate& message,
                    std::string& error) {
  const os::Error failure = parse_message_template(source, message);
  error = failure.words();
  return !failure;
}

std::string expand(const std::string& source) {
  MessageTemplate message;
  std::string error;
  EXPECT_TRUE(parse_template(source, message, error))
      << source << ": " << error;
  TemplateValues values;
  values.pid = "4242";
  values.evidence_1 = "E1";
  values.evidence_2 = "E2";
  values.token = "TOKEN";
  return render_message(message, values);
}

TEST(MessageTemplate, ExpandsEscapesAndPlaceholders) {
  struct Case {
    const char* source;
    std::string bytes;
  };
  const Case cases[] = {
      {"PING", "PING"},
      {"", ""},
      {"{empty}", ""},
      {"a\\nb", "a\nb"},
      {"a\\rb", "a\rb"},
      {"a\\0b", std::string("a\0b", 3)},
      {"a\\\\b", "a\\b"},
      {"\\{pid}", "{pid}"},
      {"\\x41\\x7c\\xFF", "A|\xFF"},
      {"\\x00", std::string(1, '\0')},
      {"HELLO|{pid}|tag|{e1}|{e2}", "HELLO|4242|tag|E1|E2"},
      {"PING|{token}|1|x", "PING|TOKEN|1|x"},
      {"{fill:3}", "AAA"},
      {"{fill:0}", ""},
      {"x{fill:2}y", "xAAy"},
      {"a{empty}b", "ab"},
      {"}", "}"},
      {"PING|{token}|1|x\\n\\n", "PING|TOKEN|1|x\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expand(c.source), c.bytes) << c.source;
  }
}

TEST(MessageTemplate, LargeFillHasTheExactLength) {
  EXPECT_EQ(expand("{fill:2048}"), std::string(2048, 'A'));
  EXPECT_EQ(expand("{fill:1048576}").size(), kMaxFill);
}

TEST(MessageTemplate, RejectsMalformedSources) {
  const char* const sources[] = {
      "\\",
      "a\\q",
      "\\x4",
      "\\xG1",
      "\\x",
      "{",
      "{pid",
      "{unknown}",
      "{}",
      "{fill:}",
      "{fill:-1}",
      "{fill:x}",
      "{fill:1048577}",
      "{PID}",
      "{ pid}",
      "{fill:99999999999}",
  };
  for (const char* source : sources) {
    MessageTemplate message;
    std::string error;
    EXPECT_FALSE(parse_template(source, message, error)) << source;
    EXPECT_FALSE(error.empty()) << source;
  }
}

TEST(MessageTemplate, TellsWhichValuesItNeeds) {
  MessageTemplate message;
  std::string error;
  ASSERT_TRUE(parse_template("A|{token}|{e2}", message, error));
  EXPECT_TRUE(template_uses(message, PieceKind::token));
  EXPECT_TRUE(template_uses(message, PieceKind::evidence_2));
  EXPECT_FALSE(template_uses(message, PieceKind::evidence_1));
  EXPECT_FALSE(template_uses(message, PieceKind::pid));
  ASSERT_TRUE(parse_template("\\{token}", message, error));
  EXPECT_FALSE(template_uses(message, PieceKind::token));
}

TEST(EscapeForDisplay, ShowsEveryByteUnambiguously) {
  struct Case {
    std::string bytes;
    const char* shown;
  };
  const Case cases[] = {
      {"PONG|1\n", "PONG|1\\n"},
      {"a\rb", "a\\rb"},
      {std::string("\0", 1), "\\0"},
      {"back\\slash", "back\\\\slash"},
      {"\x01\x1f\x7f\x80\xff", "\\x01\\x1F\\x7F\\x80\\xFF"},
      {"~ !", "~ !"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escape_for_display(c.bytes), c.shown);
  }
}

TEST(EscapeForDisplay, ReadsBackAsTheSameBytes) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  std::string shown = escape_for_display(all);
  // Braces are the one thing the display leaves that a template reads
  // differently.
  std::string source;
  for (char c : shown) {
    if (c == '{') source += "\\";
    source.push_back(c);
  }
  EXPECT_EQ(expand(source), all);
}

// ---------------------------------------------------------------- arguments

bool parse(const std::vector<std::string>& arguments, ProbeOptions& options,
           std::string& error) {
  const os::Error failure = parse_probe_args(arguments, options);
  error = failure.words();
  return !failure;
}

TEST(ProbeArgs, StatusTakesATimeout) {
  ProbeOptions options;
  std::string error;
  ASSERT_TRUE(parse({"status"}, options, error)) << error;
  EXPECT_EQ(options.command, Command::status);
  EXPECT_EQ(options.timeout_ms, 0u);
  ASSERT_TRUE(parse({"status", "--timeout-ms", "250"}, options, error));
  EXPECT_EQ(options.timeout_ms, 250u);
  ASSERT_TRUE(parse({"status", "--timeout-ms=4294967295"}, options, error));
  EXPECT_EQ(options.timeout_ms, 4294967295u);
  EXPECT_FALSE(options.json || options.connect_only);
  ASSERT_TRUE(parse({"status", "--json", "--connect-only"}, options, error));
  EXPECT_TRUE(options.json && options.connect_only);
  ASSERT_TRUE(parse({"session", "--seconds", "1", "--json"}, options, error));
  EXPECT_TRUE(options.json);
  ASSERT_TRUE(parse({"raw", "x", "--version"}, options, error));
  EXPECT_EQ(options.command, Command::version);
}

TEST(ProbeArgs, SessionNeedsSecondsAndKeepsTheDefaultInterval) {
  ProbeOptions options;
  std::string error;
  ASSERT_TRUE(parse({"session", "--seconds", "3"}, options, error)) << error;
  EXPECT_EQ(options.command, Command::session);
  EXPECT_EQ(options.seconds, 3u);
  EXPECT_EQ(options.interval_ms, 5000u);
  ASSERT_TRUE(parse({"session", "--interval-ms", "700", "--seconds=0"}, options,
                    error));
  EXPECT_EQ(options.seconds, 0u);
  EXPECT_EQ(options.interval_ms, 700u);
}

TEST(ProbeArgs, RawCollectsMessagesAndOptionsInAnyOrder) {
  ProbeOptions options;
  std::string error;
  ASSERT_TRUE(parse({"raw", "--load-guard", "HELLO|{pid}", "--wait-ms", "50",
                     "PING", "--hold-ms=900", "--delay-ms", "10", "--no-read",
                     "--", "--not-an-option", "-h", ""},
                    options, error))
      << error;
  EXPECT_EQ(options.command, Command::raw);
  EXPECT_TRUE(options.load_guard);
  EXPECT_TRUE(options.no_read);
  EXPECT_EQ(options.wait_ms, 50u);
  EXPECT_EQ(options.hold_ms, 900u);
  EXPECT_EQ(options.delay_ms, 10u);
  const std::vector<std::string> expected = {"HELLO|{pid}", "PING",
                                             "--not-an-option", "-h", ""};
  EXPECT_EQ(options.messages, expected);
}

TEST(ProbeArgs, RawDefaults) {
  ProbeOptions options;
  std::string error;
  ASSERT_TRUE(parse({"raw"}, options, error)) << error;
  EXPECT_FALSE(options.load_guard);
  EXPECT_FALSE(options.no_read);
  EXPECT_EQ(options.wait_ms, 2000u);
  EXPECT_EQ(options.hold_ms, 0u);
  EXPECT_EQ(options.delay_ms, 0u);
  EXPECT_TRUE(options.messages.empty());
}

TEST(ProbeArgs, EvidenceTakesLoadGuardAndHold) {
  ProbeOptions options;
  std::string error;
  ASSERT_TRUE(
      parse({"evidence", "--load-guard", "--hold-ms", "5"}, options, error));
  EXPECT_EQ(options.command, Command::evidence);
  EXPECT_TRUE(options.load_guard);
  EXPECT_EQ(options.hold_ms, 5u);
}

TEST(ProbeArgs, HelpWins) {
  const std::vector<std::vector<std::string>> lines = {
      {"help"}, {"--help"}, {"-h"}, {"status", "--help"}, {"raw", "x", "-h"}};
  for (const auto& line : lines) {
    ProbeOptions options;
    std::string error;
    ASSERT_TRUE(parse(line, options, error)) << line[0];
    EXPECT_EQ(options.command, Command::help) << line[0];
  }
}

TEST(ProbeArgs, RejectsWhatTheUsageDoesNotAllow) {
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"bogus"},
      {"help", "extra"},
      {"status", "extra"},
      {"status", "--timeout-ms"},
      {"status", "--timeout-ms", "-1"},
      {"status", "--timeout-ms", "12ms"},
      {"status", "--timeout-ms", ""},
      {"status", "--timeout-ms", "4294967296"},
      {"status", "--seconds", "1"},
      {"status", "--load-guard"},
      {"status", "--json=1"},
      {"session", "--seconds", "1", "--connect-only"},
      {"raw", "--json", "x"},
      {"session"},
      {"session", "--seconds", "1", "--interval-ms", "0"},
      {"session", "--seconds", "1", "--interval-ms", "249"},
      {"session", "--seconds", "1", "--interval-ms", "8001"},
      {"session", "--seconds", "1", "PING"},
      {"raw", "--timeout-ms", "5"},
      {"raw", "--load-guard=1"},
      {"raw", "--wait-ms", "+5"},
      {"raw", "--unknown"},
      {"evidence", "--wait-ms", "5"},
      {"evidence", "x"},
  };
  for (const auto& line : lines) {
    ProbeOptions options;
    std::string error;
    std::string joined;
    for (const std::string& part : line) joined += part + " ";
    EXPECT_FALSE(parse(line, options, error)) << joined;
    EXPECT_FALSE(error.empty()) << joined;
  }
}

TEST(ProbeUsage, DocumentsEveryCommandAndExitCode) {
  const std::string usage = probe_usage();
  for (const char* word :
       {"status", "session", "raw", "evidence", "--timeout-ms", "--seconds",
        "--interval-ms", "--load-guard", "--wait-ms", "--hold-ms", "--delay-ms",
        "--no-read", "{pid}", "{e1}", "{e2}", "{token}", "{fill:N}",
        "{empty}"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
  for (int code = kExitOk; code <= kExitClosedBeforeSent; ++code) {
    EXPECT_NE(usage.find("\n  " + std::to_string(code) + "  "),
              std::string::npos)
        << code;
  }
}

}  // namespace
}  // namespace vorn::probe
