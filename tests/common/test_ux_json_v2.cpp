#include "common/ux_json_v2.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "support/scoped_env.h"
#include "support/string_stream.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;
using qlyn_test::TStringStream;

std::string text_of(std::string_view json, bool format = false) {
  auto v = TJsonObject::Parse(json);
  return v ? v->AsJSon(format) : std::string("<null>");
}

TJsonTokenerError error_of(std::string_view json) {
  TJsonTokener tok;
  auto v = TJsonObject::ParseEx_New(tok, json);
  if (tok.err == json_tokener_success) {
    EXPECT_TRUE(v != nullptr || json.find("null") != std::string_view::npos);
  }
  return tok.err;
}

std::string nested_arrays(int n) { return std::string(size_t(n), '[') + std::string(size_t(n), ']'); }

}  // namespace

// ---------------------------------------------------------------- parsing

TEST(JsonParse, ScalarsAndTheByteThatFinishesThem) {
  EXPECT_EQ(TJsonObject::Parse("123"), nullptr);
  auto n = TJsonObject::Parse("123 ");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->JsonType(), json_type_int);
  EXPECT_EQ(n->AsInteger(), 123);
  auto s = TJsonObject::Parse("\"abc\"");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->AsString(), "abc");
  EXPECT_EQ(TJsonObject::Parse("true"), nullptr);
  auto t = TJsonObject::Parse("true\n");
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->IsType(json_type_boolean));
  EXPECT_TRUE(t->AsBoolean());
  auto f = TJsonObject::Parse("false ");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->AsBoolean());
  // A top-level null is no value.
  TJsonTokener tok;
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "null "), nullptr);
  EXPECT_EQ(tok.err, json_tokener_success);
  EXPECT_EQ(TJsonObject::Parse(""), nullptr);
  EXPECT_EQ(TJsonObject::Parse("   "), nullptr);
}

TEST(JsonParse, LiteralsRespectLetterCase) {
  EXPECT_EQ(error_of("True "), json_tokener_error_parse_boolean);
  EXPECT_EQ(error_of("[tRue]"), json_tokener_error_parse_boolean);
  EXPECT_EQ(error_of("Null "), json_tokener_error_parse_null);
  EXPECT_EQ(error_of("[nul]"), json_tokener_error_parse_null);
  EXPECT_EQ(error_of("[falsy]"), json_tokener_error_parse_boolean);
  EXPECT_EQ(error_of("[x]"), json_tokener_error_parse_unexpected);
}

TEST(JsonParse, Numbers) {
  auto a = TJsonObject::Parse("[2e3,-17,1.25,-0.5,2E3,1E-2,12345678901234567890,-,1-2,1.2.3,007]");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->ArrayLength(), 11);
  EXPECT_EQ(a->GetArray_Item(0)->JsonType(), json_type_double);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(0)->AsDouble(), 2000);
  EXPECT_EQ(a->GetArray_Item(1)->JsonType(), json_type_int);
  EXPECT_EQ(a->GetArray_Item(1)->AsInteger(), -17);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(2)->AsDouble(), 1.25);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(3)->AsDouble(), -0.5);
  // RFC 8259 upper-case exponent.
  EXPECT_EQ(a->GetArray_Item(4)->JsonType(), json_type_double);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(4)->AsDouble(), 2000);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(5)->AsDouble(), 0.01);
  // Beyond the signed 64-bit range: kept as a double, not turned into 0.
  EXPECT_EQ(a->GetArray_Item(6)->JsonType(), json_type_double);
  EXPECT_DOUBLE_EQ(a->GetArray_Item(6)->AsDouble(), 12345678901234567890.0);
  // Texts that do not convert give 0 without an error.
  EXPECT_EQ(a->GetArray_Item(7)->JsonType(), json_type_int);
  EXPECT_EQ(a->GetArray_Item(7)->AsInteger(), 0);
  EXPECT_EQ(a->GetArray_Item(8)->AsInteger(), 0);
  EXPECT_EQ(a->GetArray_Item(9)->JsonType(), json_type_double);
  EXPECT_EQ(a->GetArray_Item(9)->AsDouble(), 0);
  EXPECT_EQ(a->GetArray_Item(10)->AsInteger(), 7);
}

TEST(JsonParse, ObjectsKeepNameOrderAndReplaceByCaseInsensitiveName) {
  EXPECT_EQ(text_of("{\"b\":1,\"a\":2}"), "{\"a\":2,\"b\":1}");
  auto o = TJsonObject::Parse("{\"A\":1,\"a\":2}");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->KeyCount(), 1);
  EXPECT_EQ(o->KeyOf(0), "a");
  EXPECT_EQ(o->GetInt("A"), 2);
  EXPECT_EQ(text_of("{\"x\":null}"), "{}");
  EXPECT_EQ(text_of("{\"x\":1,\"x\":null}"), "{}");
  EXPECT_EQ(text_of("[1,null,2]"), "[1,2]");
  // Order ignores ASCII case: a, B, c.
  EXPECT_EQ(text_of("{\"c\":3,\"B\":2,\"a\":1}"), "{\"a\":1,\"B\":2,\"c\":3}");
  // "_" (0x5F) sorts after the letters taken as upper case.
  EXPECT_EQ(text_of("{\"_\":1,\"z\":2}"), "{\"z\":2,\"_\":1}");
}

TEST(JsonParse, LenientExtensions) {
  EXPECT_EQ(text_of("[1,2,]"), "[1,2]");
  EXPECT_EQ(text_of("{\"a\":1,}"), "{\"a\":1}");
  EXPECT_EQ(text_of("{'a':'x'}"), "{\"a\":\"x\"}");
  EXPECT_EQ(text_of("['it\"s']"), "[\"it\\\"s\"]");
  EXPECT_EQ(text_of("/* c */ { // line\n \"a\" /*x*/ : /**/ 1 /* ** */ , } "), "{\"a\":1}");
  EXPECT_EQ(text_of("[1//x\n,2]"), "[1,2]");
  EXPECT_EQ(text_of("\b[\t1\r\n]"), "[1]");
  EXPECT_EQ(error_of("[1 /x]"), json_tokener_error_parse_comment);
  EXPECT_EQ(error_of("[1,,2]"), json_tokener_error_parse_unexpected);
  EXPECT_EQ(error_of("[,]"), json_tokener_error_parse_unexpected);
  // Vertical tab and form feed are not white space.
  EXPECT_EQ(error_of("[\v1]"), json_tokener_error_parse_unexpected);
  EXPECT_EQ(error_of("[\f1]"), json_tokener_error_parse_unexpected);
}

TEST(JsonParse, TrailingBytesAfterACompleteValueAreNotRead) {
  TJsonTokener tok;
  auto v = TJsonObject::ParseEx_New(tok, "{\"a\":1} garbage {[");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(tok.err, json_tokener_success);
  EXPECT_EQ(v->GetInt("a"), 1);
  EXPECT_EQ(tok.char_offset, 7);
  EXPECT_EQ(text_of("[1]]"), "[1]");
  EXPECT_EQ(text_of("\"a\"x"), "\"a\"");
  // Not even a "/" after the value is read: no comment is opened there.
  EXPECT_EQ(text_of("{\"a\":1}/x"), "{\"a\":1}");
  EXPECT_EQ(text_of("[1] // trailing comment without a line feed"), "[1]");
  EXPECT_EQ(text_of("\"s\"/*"), "\"s\"");
  EXPECT_EQ(text_of("12//c"), "12");
  EXPECT_EQ(text_of("true /"), "true");
}

TEST(JsonParse, ErrorKinds) {
  EXPECT_EQ(error_of("{1:2}"), json_tokener_error_parse_object_key_name);
  EXPECT_EQ(error_of("{\"a\" 2}"), json_tokener_error_parse_object_key_sep);
  EXPECT_EQ(error_of("{\"a\":2 \"b\":3}"), json_tokener_error_parse_object_value_sep);
  EXPECT_EQ(error_of("[1 2]"), json_tokener_error_parse_array);
  EXPECT_EQ(error_of("[2E3]"), json_tokener_success);
  EXPECT_EQ(error_of("\"\\x\""), json_tokener_error_parse_string);
  EXPECT_EQ(error_of("\"\\'\""), json_tokener_error_parse_string);
  EXPECT_EQ(error_of("\"\\u00g0\""), json_tokener_error_parse_string);
  EXPECT_EQ(error_of("{"), json_tokener_continue);
  EXPECT_EQ(error_of("[1,2"), json_tokener_continue);
  EXPECT_EQ(error_of("\"abc"), json_tokener_continue);
  EXPECT_EQ(error_of("/* open"), json_tokener_continue);
  EXPECT_EQ(error_of("{\"a\":"), json_tokener_continue);
}

TEST(JsonParse, NulBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(error_of("[1,\0 2]"s), json_tokener_error_parse_eof);
  EXPECT_EQ(error_of("\"a\0b\""s), json_tokener_error_parse_eof);
  EXPECT_EQ(error_of("/*\0*/1 "s), json_tokener_error_parse_eof);
  EXPECT_EQ(error_of("\0"s), json_tokener_error_parse_eof);
  // A NUL right after a finished value ends the text successfully.
  TJsonTokener tok;
  auto v = TJsonObject::ParseEx_New(tok, "123\0 trailing"s);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->AsInteger(), 123);
  EXPECT_EQ(text_of("[7]\0{"s), "[7]");
  // An escaped NUL is an ordinary string byte.
  auto s = TJsonObject::Parse("\"a\\u0000b\"");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->AsString(), "a\0b"s);
  EXPECT_EQ(s->AsJSon(), "\"a\\u0000b\"");
}

TEST(JsonParse, DepthLimitWithoutRecursion) {
  auto ok = TJsonObject::Parse(nested_arrays(32));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->AsJSon(), nested_arrays(32));
  EXPECT_EQ(error_of(nested_arrays(33)), json_tokener_error_depth);
  std::string objs;
  for (int i = 0; i < 31; ++i) objs += "{\"k\":";
  objs += "1";
  objs += std::string(31, '}');
  EXPECT_NE(TJsonObject::Parse(objs), nullptr);
  EXPECT_EQ(error_of("{\"k\":" + objs + "}"), json_tokener_error_depth);
  EXPECT_EQ(error_of(std::string(100000, '[')), json_tokener_error_depth);
  EXPECT_EQ(error_of(std::string(100000, '[') + std::string(100000, ']')), json_tokener_error_depth);
  std::string deep_obj;
  for (int i = 0; i < 100000; ++i) deep_obj += "{\"a\":";
  EXPECT_EQ(error_of(deep_obj), json_tokener_error_depth);
}

TEST(JsonParse, StringEscapes) {
  using namespace std::string_literals;
  auto v = TJsonObject::Parse("[\"\\\"\\\\\\/\\b\\n\\r\\t\\f\",\"\\u00e9\",\"\\u00E9\",\"\\u4e2D\",\"\\u0041\"]");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetArray_Item(0)->AsString(), "\"\\/\b\n\r\t\f");
  EXPECT_EQ(v->GetArray_Item(1)->AsString(), "\xC3\xA9");
  EXPECT_EQ(v->GetArray_Item(2)->AsString(), "\xC3\xA9");  // upper-case hex accepted
  EXPECT_EQ(v->GetArray_Item(3)->AsString(), "\xE4\xB8\xAD");
  EXPECT_EQ(v->GetArray_Item(4)->AsString(), "A");
  // Surrogate pair: one 4-byte sequence (U+1F600).
  auto p = TJsonObject::Parse("\"x\\ud83d\\uDE00y\"");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->AsString(), "x\xF0\x9F\x98\x80y");
  // Unpaired halves become U+FFFD; what follows them is kept.
  EXPECT_EQ(TJsonObject::Parse("\"\\ud83dz\"")->AsString(), "\xEF\xBF\xBDz");
  EXPECT_EQ(TJsonObject::Parse("\"\\ude00\"")->AsString(), "\xEF\xBF\xBD");
  EXPECT_EQ(TJsonObject::Parse("\"\\ud83d\\n\"")->AsString(), "\xEF\xBF\xBD\n");
  EXPECT_EQ(TJsonObject::Parse("\"\\ud83d\\u0041\"")->AsString(), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(TJsonObject::Parse("\"\\ud83d\\ud83d\\ude00\"")->AsString(), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
  // Escapes in member names are decoded too.
  auto o = TJsonObject::Parse("{\"a\\u0062\\\"\":1}");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->KeyOf(0), "ab\"");
}

TEST(JsonParse, NonUtf8BytesAreKeptAsTheyAre) {
  auto v = TJsonObject::Parse("[\"\xFF\xFE\x80\",\"\xC3\"]");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetArray_Item(0)->AsString(), "\xFF\xFE\x80");
  EXPECT_EQ(v->AsJSon(), "[\"\xFF\xFE\x80\",\"\xC3\"]");
  // Distinct invalid names stay distinct members.
  auto o = TJsonObject::Parse("{\"\xFF\":1,\"\xFE\":2}");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->KeyCount(), 2);
  EXPECT_EQ(o->GetInt("\xFF"), 1);
  EXPECT_EQ(o->GetInt("\xFE"), 2);
}

TEST(JsonParse, RandomAndTruncatedInputNeverCrash) {
  const std::string doc =
      "{\"a\":[1,2.5,-3e2,true,false,null,\"s\\u00e9\\n\"],'b':{\"c\":{}},/*x*/\"d\":[[],[{}]]}";
  ASSERT_NE(TJsonObject::Parse(doc), nullptr);
  for (size_t n = 0; n < doc.size(); ++n) {
    TJsonTokener tok;
    auto v = TJsonObject::ParseEx_New(tok, std::string_view(doc).substr(0, n));
    EXPECT_EQ(v, nullptr) << n;
    EXPECT_NE(tok.err, json_tokener_success) << n;
  }
  std::mt19937 rng(12345);
  using namespace std::string_literals;
  const std::string alphabet = "{}[]:,\"'\\/*-+.0123456789eEtruefalsn \n\x00\x80\xff\xfc\x5c"s;
  TJsonTokener tok;
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    const int n = int(rng() % 64);
    for (int k = 0; k < n; ++k) s.push_back(alphabet[rng() % alphabet.size()]);
    auto v = TJsonObject::ParseEx_New(tok, s);
    if (v) {
      // Whatever parses writes text that parses to an equal text.
      const std::string text = v->AsJSon();
      auto again = TJsonObject::Parse(text + " ");
      ASSERT_NE(again, nullptr) << text;
      EXPECT_EQ(again->AsJSon(), text);
    }
    std::string m = doc;
    m[rng() % m.size()] = alphabet[rng() % alphabet.size()];
    (void)TJsonObject::Parse(m);
  }
}

TEST(JsonParse, TokensBeyondTheBufferCapFail) {
  TJsonTokener tok(100);
  const std::string long_text(200, 'x');
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "[\"" + long_text + "\"]"), nullptr);
  EXPECT_EQ(tok.err, json_tokener_error_parse_string);
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "[\"" + std::string(99, 'x') + "\\n\\n\"]"), nullptr);
  EXPECT_EQ(tok.err, json_tokener_error_parse_string);
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "{\"" + long_text + "\":1}"), nullptr);
  EXPECT_EQ(tok.err, json_tokener_error_parse_object_key_name);
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "[" + std::string(200, '1') + "]"), nullptr);
  EXPECT_EQ(tok.err, json_tokener_error_parse_number);
  auto ok = TJsonObject::ParseEx_New(tok, "[\"" + std::string(90, 'x') + "\"]");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->GetArray_Item(0)->AsString().size(), 90u);
}

TEST(JsonParse, TokenerReuseAndParseEx) {
  TJsonTokener tok;
  EXPECT_EQ(TJsonObject::ParseEx_New(tok, "[1,"), nullptr);
  EXPECT_EQ(tok.err, json_tokener_continue);
  auto v = TJsonObject::ParseEx_New(tok, "[2]");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->AsJSon(), "[2]");
  tok.Reset();
  EXPECT_EQ(tok.depth, 0);
  EXPECT_EQ(tok.err, json_tokener_success);
  EXPECT_EQ(tok.stack[0].state, json_tokener_state_eatws);
  EXPECT_EQ(tok.stack[0].saved_state, json_tokener_state_start);
  EXPECT_EQ(TJsonObject::ParseEx(tok, "[1]", 3), nullptr);
}

// ---------------------------------------------------------------- code page 936

TEST(JsonGbk, BackslashAsSecondByteOfACharacter) {
  qlyn_test::TCodePageScope gbk(CP_GBK);
  // 95 5C is one character: the 5C is not an escape, and is written as is.
  auto v = TJsonObject::Parse("[\"\x95\x5C\",\"a\\\\\"]");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetArray_Item(0)->AsString(), "\x95\x5C");
  EXPECT_EQ(v->GetArray_Item(1)->AsString(), "a\\");
  EXPECT_EQ(v->AsJSon(), "[\"\x95\x5C\",\"a\\\\\"]");
  // The pairing runs from the first byte of the text: here 95 pairs with 95,
  // so the following backslash escapes the quote.
  auto w = TJsonObject::Parse("[\"\x95\x95\\\"\"]");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->GetArray_Item(0)->AsString(), "\x95\x95\"");
  // A backslash after an ASCII byte is always written doubled, also at the end.
  auto s = TJsonObject::Create(std::string_view("x\\"));
  EXPECT_EQ(s->AsJSon(), "\"x\\\\\"");
  // Member names: escapes are always decoded, and names are written escaped,
  // so the round trip keeps the bytes.
  auto o = TJsonObject::Create(json_type_object);
  o->Put("\x95\x5C", int64_t(1));
  const std::string text = o->AsJSon();
  EXPECT_EQ(text, "{\"\x95\\\\\":1}");
  auto back = TJsonObject::Parse(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->KeyOf(0), "\x95\x5C");
}

TEST(JsonGbk, BytesAfterALeadByteAreWrittenAsTheParserReadsThem) {
  qlyn_test::TCodePageScope gbk(CP_GBK);
  // Found by fuzzing: 99 2F is read as one character, so its "/" must not be
  // written as an escape (99 5C 2F would read back as 99 5C and a "/").
  auto v = TJsonObject::Parse("'\x99/\xC3'");
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(v->AsString(), "\x99/\xC3");
  EXPECT_EQ(v->AsJSon(), "\"\x99/\xC3\"");
  auto back = TJsonObject::Parse(v->AsJSon());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->AsString(), "\x99/\xC3");
  // Control bytes there are kept too; a quote or a NUL cannot stand after a
  // lead byte, which is then written as "?".
  auto s = TJsonObject::Create(std::string_view("a\x81\x01" "b\x81\"c\x81\0d", 10));
  EXPECT_EQ(s->AsJSon(), std::string("\"a\x81\x01" "b?\\\"c?\\u0000d\""));
  back = TJsonObject::Parse(s->AsJSon());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->AsString(), std::string("a\x81\x01" "b?\"c?\0d", 10));
}

TEST(JsonGbk, NameSubstitution) {
  {
    qlyn_test::TCodePageScope gbk(CP_GBK);
    EXPECT_EQ(TJsonObject::Create(std::string_view("a\xFC\x5C" "b"))->AsString(), "a\xBA\xDA" "b");
    EXPECT_EQ(TJsonObject::Create(std::vector<uint8_t>{'a', 0xFC, 0x5C})->AsString(), "a\xFC\x5C");
    auto o = TJsonObject::Create(json_type_object);
    o->Put("k", "\xFC\x5C");
    EXPECT_EQ(o->GetString("k"), "\xBA\xDA");
    auto a = TJsonObject::Create(json_type_array);
    a->AsArray()->Add("\xFC\x5C");
    EXPECT_EQ(a->GetArray_Item(0)->AsString(), "\xBA\xDA");
    // Parsed strings too (FC 5C is one character, so the 5C is no escape).
    auto p = TJsonObject::Parse("\"\xFC\x5C\"");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->AsString(), "\xBA\xDA");
    // A copy keeps the bytes of the original.
    auto raw = TJsonObject::Create(std::vector<uint8_t>{0xFC, 0x5C});
    EXPECT_EQ(raw->Clone()->AsString(), "\xFC\x5C");
  }
  qlyn_test::TCodePageScope utf(CP_UTF8);
  EXPECT_EQ(TJsonObject::Create(std::string_view("\xFC\x5C"))->AsString(), "\xFC\x5C");
}

TEST(JsonGbk, UnicodeEscapesBecomeTheProcessCodePageAndNamesSortAsText) {
  qlyn_test::TCodePageScope gbk(CP_GBK);
  auto v = TJsonObject::Parse("\"\\u4e2d\"");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->AsString(), "\xD6\xD0");  // 中 in GBK
  // 中 (U+4E2D, GBK D6D0) sorts before 啊 (U+554A, GBK B0A1) as text, though
  // its bytes are higher.
  auto o = TJsonObject::Parse("{\"\xB0\xA1\":2,\"\xD6\xD0\":1}");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->KeyOf(0), "\xD6\xD0");
  EXPECT_EQ(o->KeyOf(1), "\xB0\xA1");
}

// ---------------------------------------------------------------- writing

TEST(JsonWrite, ScalarsAndEscaping) {
  using namespace std::string_literals;
  EXPECT_EQ(TJsonObject::Create(1.5)->AsJSon(), "1.5000");
  EXPECT_EQ(TJsonObject::Create(-2.0)->AsJSon(), "-2.0000");
  EXPECT_EQ(TJsonObject::Create(0.00004)->AsJSon(), "0.0000");
  EXPECT_EQ(TJsonObject::Create(2.25)->AsJSon(), "2.2500");
  EXPECT_EQ(TJsonObject::Create(int64_t(-42))->AsJSon(), "-42");
  EXPECT_EQ(TJsonObject::Create(uint32_t(4000000000u))->AsJSon(), "4000000000");
  EXPECT_EQ(TJsonObject::Create(true)->AsJSon(), "true");
  EXPECT_EQ(TJsonObject::Create(json_type_null)->AsJSon(), "");
  EXPECT_EQ(TJsonObject::Create(std::string_view("\x1F\x0C"))->AsJSon(), "\"\\u001f\\u000c\"");
  EXPECT_EQ(TJsonObject::Create("a\0b"s)->AsJSon(), "\"a\\u0000b\"");
  EXPECT_EQ(TJsonObject::Create("\"/\\\b\t\n\r")->AsJSon(), "\"\\\"\\/\\\\\\b\\t\\n\\r\"");
  EXPECT_EQ(TJsonObject::Create("\xE4\xB8\xAD\x7F")->AsJSon(), "\"\xE4\xB8\xAD\x7F\"");
  // Not-a-number and infinities have no JSON text: written as null.
  auto a = TJsonObject::Create(json_type_array);
  a->addToArray(TJsonObject::Create(std::nan("")))->addToArray(TJsonObject::Create(HUGE_VAL));
  EXPECT_EQ(a->AsJSon(), "[null,null]");
  // Names are escaped like strings.
  auto o = TJsonObject::Create(json_type_object);
  o->Put("a\"b", int64_t(1));
  EXPECT_EQ(o->AsJSon(), "{\"a\\\"b\":1}");
  EXPECT_EQ(TJsonObject::Parse(o->AsJSon())->KeyOf(0), "a\"b");
}

TEST(JsonWrite, FormattedOutput) {
  auto v = TJsonObject::Parse("{\"a\":[1,2]}");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->AsJSon(true), "{\n \"a\":[\n  1,2]\n}");
  auto w = TJsonObject::Parse("[{\"x\":1,\"y\":{}},[]]");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->AsJSon(true), "[\n {\n  \"x\":1,\n  \"y\":{}\n },[\n  ]]");
  EXPECT_EQ(w->CalcSize(true), int64_t(w->AsJSon(true).size()));
  EXPECT_EQ(w->CalcSize(false), int64_t(w->AsJSon(false).size()));
  // Formatted text parses back to the same document.
  EXPECT_EQ(TJsonObject::Parse(w->AsJSon(true))->AsJSon(), w->AsJSon());
}

TEST(JsonWrite, CachedTextAndWriters) {
  auto v = TJsonObject::Parse("{\"k\":\"v\"}");
  ASSERT_NE(v, nullptr);
  const TDataRec d = v->AsJSonData(false);
  EXPECT_EQ(std::string(static_cast<const char*>(d.data), d.datalen), "{\"k\":\"v\"}");
  TJsonWriterString ws;
  EXPECT_EQ(ws.Capacity(), 64);
  EXPECT_EQ(ws.Write(v.get(), false, 0), 0);
  EXPECT_EQ(ws.GetData(), "{\"k\":\"v\"}");
  ws.Append(std::string(100, 'x'));
  EXPECT_EQ(ws.Capacity(), 64 * 2 > 9 + 100 + 64 ? 128 : 9 + 100 + 64);
  ws.Reset();
  EXPECT_EQ(ws.GetData(), "");
  // A capped string writer fails instead of growing past its cap.
  TJsonWriterString small(100);
  auto big = TJsonObject::Create(std::string(200, 'z'));
  EXPECT_EQ(small.Write(big.get(), false, 0), -1);
  EXPECT_TRUE(small.Failed());
  TJsonWriterFake fake;
  fake.Write(v.get(), false, 0);
  EXPECT_EQ(fake.Size(), 9);
  fake.Reset();
  EXPECT_EQ(fake.Size(), 0);
  TStringStream ss;
  ss.data = "old contents";
  TJsonWriterStream wst(ss);
  wst.Reset();
  EXPECT_EQ(ss.data, "");
  EXPECT_EQ(wst.Write(v.get(), false, 0), 0);
  EXPECT_EQ(ss.data, "{\"k\":\"v\"}");  // in the stream once Write returns
}

TEST(JsonWrite, SaveToStreamAndFile) {
  auto v = TJsonObject::Parse("{\"a\":[1,2],\"b\":\"text\"}");
  ASSERT_NE(v, nullptr);
  TStringStream ss;
  EXPECT_EQ(v->SaveTo(ss, false), int64_t(v->AsJSon().size()));
  EXPECT_EQ(ss.data, v->AsJSon());
  // A stream that takes only part of the text: truncated, 0.
  TStringStream full(10);
  EXPECT_EQ(v->SaveTo(full, false), 0);
  EXPECT_EQ(full.data, "");
  // Large documents pass the staging buffer more than once.
  auto arr = TJsonObject::Create(json_type_array);
  for (int i = 0; i < 50000; ++i) arr->addToArray(TJsonObject::Create(std::string("item") + std::to_string(i)));
  TStringStream big;
  EXPECT_EQ(arr->SaveTo(big, true), int64_t(arr->AsJSon(true).size()));
  EXPECT_EQ(big.data, arr->AsJSon(true));

  TempDir dir;
  const std::string path = dir.dir() + "doc.json";
  EXPECT_EQ(v->SaveTo(path, true), int64_t(v->AsJSon(true).size()));
  EXPECT_EQ(read_file_text(path), v->AsJSon(true));
  auto small = TJsonObject::Parse("[1]");
  EXPECT_EQ(small->SaveTo(path, false), 3);
  EXPECT_EQ(read_file_text(path), "[1]");
  // A missing folder: 0, nothing created.
  EXPECT_EQ(v->SaveTo(dir.dir() + "missing/doc.json", false), 0);
  EXPECT_FALSE(fs::exists(dir.dir() + "missing"));
  size_t files = 0;
  for (auto& e : fs::directory_iterator(dir.dir())) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);  // no temporary file left behind
  if (geteuid() != 0) {
    // An unwritable folder: 0 and the old file is left as it was.
    ::chmod(dir.dir().c_str(), 0555);
    EXPECT_EQ(v->SaveTo(path, false), 0);
    ::chmod(dir.dir().c_str(), 0755);
    EXPECT_EQ(read_file_text(path), "[1]");
  }
  // A new file gets 0666 less the umask; an old file keeps its mode.
  TempDir modes;
  const std::string fresh = modes.dir() + "new.json";
  const mode_t old_mask = ::umask(077);
  const int64_t fresh_size = small->SaveTo(fresh, false);
  ::umask(old_mask);
  EXPECT_EQ(fresh_size, 3);
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::chmod(fresh.c_str(), 0640);
  EXPECT_EQ(v->SaveTo(fresh, false), int64_t(v->AsJSon().size()));
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A symbolic link is written through and stays a link.
  const std::string target = modes.dir() + "target.json", link = modes.dir() + "link.json";
  std::ofstream(target) << "old";
  fs::create_symlink(target, link);
  EXPECT_EQ(small->SaveTo(link, false), 3);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file_text(target), "[1]");
  // A name near the length limit is replaced like any other.
  const std::string long_name = modes.dir() + std::string(250, 'j');
  EXPECT_EQ(small->SaveTo(long_name, false), 3);
  EXPECT_EQ(v->SaveTo(long_name, false), int64_t(v->AsJSon().size()));
  EXPECT_EQ(read_file_text(long_name), v->AsJSon());
  EXPECT_EQ(v->SaveTo("", false), 0);
}

TEST(JsonWrite, DeepTreesBuiltByHandAreWrittenClonedAndFreedWithoutRecursion) {
  constexpr int kDepth = 100000;
  auto root = TJsonObject::Create(json_type_array);
  TJsonObject* cur = root.get();
  for (int i = 0; i < kDepth; ++i) {
    auto child = TJsonObject::Create(json_type_array);
    TJsonObject* next = child.get();
    cur->addToArray(std::move(child));
    cur = next;
  }
  const std::string text = root->AsJSon();
  EXPECT_EQ(text, nested_arrays(kDepth + 1));
  // Formatted, each level adds a line break and its indentation.
  const int64_t n = kDepth + 1;
  EXPECT_EQ(root->CalcSize(true), 3 * n + n * (n + 1) / 2);
  auto copy = root->Clone();
  EXPECT_EQ(copy->AsJSon(), text);
  auto deep_obj = TJsonObject::Create(json_type_object);
  cur = deep_obj.get();
  for (int i = 0; i < kDepth; ++i) {
    auto child = TJsonObject::Create(json_type_object);
    TJsonObject* next = child.get();
    cur->Put("k", std::move(child));
    cur = next;
  }
  EXPECT_EQ(deep_obj->Clone()->CalcSize(false), int64_t(6 * kDepth + 2));
}

// ---------------------------------------------------------------- accessors

TEST(JsonValue, Conversions) {
  EXPECT_EQ(TJsonObject::Create(2.5)->AsInteger(), 2);
  EXPECT_EQ(TJsonObject::Create(3.5)->AsInteger(), 4);
  EXPECT_EQ(TJsonObject::Create(-2.5)->AsInteger(), -2);
  EXPECT_EQ(TJsonObject::Create(1e300)->AsInteger(), INT64_MAX);
  EXPECT_EQ(TJsonObject::Create(std::nan(""))->AsInteger(), 0);
  EXPECT_EQ(TJsonObject::Create(true)->AsInteger(), 1);
  EXPECT_EQ(TJsonObject::Create("42")->AsInteger(), 42);
  EXPECT_EQ(TJsonObject::Create("-42")->AsInteger(), -42);
  EXPECT_EQ(TJsonObject::Create("42x")->AsInteger(), 0);
  EXPECT_EQ(TJsonObject::Create("+42")->AsInteger(), 42);
  EXPECT_EQ(TJsonObject::Create("+-42")->AsInteger(), 0);
  EXPECT_EQ(TJsonObject::Create("+")->AsInteger(), 0);
  EXPECT_DOUBLE_EQ(TJsonObject::Create("+1.5")->AsDouble(), 1.5);
  EXPECT_EQ(TJsonObject::Create("+-1.5")->AsDouble(), 0);
  EXPECT_EQ(TJsonObject::Create("4.5")->AsInteger(), 0);
  EXPECT_DOUBLE_EQ(TJsonObject::Create("4.5")->AsDouble(), 4.5);
  EXPECT_DOUBLE_EQ(TJsonObject::Create("-1e3")->AsDouble(), -1000);
  EXPECT_EQ(TJsonObject::Create("nan")->AsDouble(), 0);
  EXPECT_EQ(TJsonObject::Create("")->AsDouble(), 0);
  EXPECT_DOUBLE_EQ(TJsonObject::Create(int64_t(7))->AsDouble(), 7);
  EXPECT_FALSE(TJsonObject::Create("")->AsBoolean());
  EXPECT_TRUE(TJsonObject::Create("0")->AsBoolean());
  EXPECT_FALSE(TJsonObject::Create(0.0)->AsBoolean());
  EXPECT_TRUE(TJsonObject::Create(int64_t(-1))->AsBoolean());
  EXPECT_TRUE(TJsonObject::Create(json_type_array)->AsBoolean());
  EXPECT_TRUE(TJsonObject::Create(json_type_null)->AsBoolean());
  EXPECT_EQ(TJsonObject::Create(json_type_object)->AsInteger(), 0);
  auto s = TJsonObject::Create("abcdef");
  EXPECT_EQ(s->AsString(3), "abc");
  EXPECT_EQ(s->AsString(0), "");
  EXPECT_EQ(s->AsString(-1), "abcdef");
  EXPECT_EQ(s->AsString(100), "abcdef");
  EXPECT_EQ(TJsonObject::Create(1.5)->AsString(), "1.5000");
  EXPECT_EQ(TJsonObject::Parse("[1,\"a\"]")->AsString(), "[1,\"a\"]");
  EXPECT_EQ(TJsonObject::Parse("[1,\"a\"]")->asBytes(), "[1,\"a\"]");
  // Null references.
  EXPECT_EQ(json_type_of(nullptr), json_type_null);
  EXPECT_FALSE(json_as_boolean(nullptr));
  EXPECT_EQ(json_as_integer(nullptr), 0);
  EXPECT_EQ(json_as_double(nullptr), 0);
  EXPECT_EQ(json_as_string(nullptr), "");
  EXPECT_EQ(json_as_text(nullptr), "");
  EXPECT_EQ(json_as_string(s.get(), 2), "ab");
}

TEST(JsonValue, ObjectMembers) {
  auto o = TJsonObject::Create(json_type_object);
  o->Put("name", "qlyn");
  o->Put("count", 3);
  o->Put("ratio", 0.25);
  o->Put("flag", true);
  o->Put("", "ignored");
  o->Put("when", "2024-05-06 07:08:09");
  o->Put("bad_when", "2024-13-45 99:99:99");
  EXPECT_EQ(o->KeyCount(), 6);
  EXPECT_EQ(o->GetString("NAME"), "qlyn");
  EXPECT_EQ(o->GetString("missing", "def"), "def");
  EXPECT_EQ(o->GetInt("count"), 3);
  EXPECT_EQ(o->GetInt("missing", -1), -1);
  EXPECT_DOUBLE_EQ(o->GetFloat("ratio"), 0.25);
  EXPECT_DOUBLE_EQ(o->GetFloat("missing", 9.5), 9.5);
  EXPECT_EQ(o->GetString("count"), "3");
  EXPECT_EQ(o->GetString("flag"), "true");
  EXPECT_NEAR(o->GetDateTime("when"), encode_datetime(2024, 5, 6, 7, 8, 9, 0), 1e-6);
  EXPECT_EQ(o->GetDateTime("bad_when"), 0);
  EXPECT_EQ(o->GetDateTime("missing"), 0);
  EXPECT_EQ(o->GetField("name").s, "qlyn");
  o->SetField("field", TVarRec(int64_t(12)));
  EXPECT_EQ(o->GetString("field"), "12");
  EXPECT_EQ(o->KeyOf(0), "bad_when");
  EXPECT_EQ(o->KeyOf(6), "when");
  EXPECT_EQ(o->KeyOf(7), "");
  EXPECT_EQ(o->KeyOf(-1), "");
  // Replacing and removing.
  o->Put("Count", "x");
  EXPECT_EQ(o->GetString("count"), "x");
  o->Put("count", nullptr);
  EXPECT_EQ(o->GetObject("count"), nullptr);
  EXPECT_EQ(o->KeyCount(), 6);
  // Walk in name order.
  std::vector<std::string> keys;
  TJsonObjectIter it;
  for (bool ok = TJsonObject::ObjectFindFirst(o.get(), it); ok; ok = TJsonObject::ObjectFindNext(it))
    keys.push_back(it.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"bad_when", "field", "flag", "name", "ratio", "when"}));
  EXPECT_FALSE(TJsonObject::ObjectFindFirst(nullptr, it));
  // Reads and writes on a value of another type.
  auto n = TJsonObject::Create(int64_t(5));
  n->Put("a", 1);
  EXPECT_EQ(n->GetString("a", "d"), "d");
  EXPECT_EQ(n->KeyCount(), 0);
  EXPECT_EQ(n->GetObject("a"), nullptr);
  EXPECT_EQ(n->AsObject(), nullptr);
  EXPECT_EQ(n->AsArray(), nullptr);
  EXPECT_EQ(n->AsJSon(), "5");
}

TEST(JsonValue, BinaryMembers) {
  auto o = TJsonObject::Create(json_type_object);
  const unsigned char bytes[] = {1, 2, 3};
  o->put("bin", bytes, 3);
  EXPECT_EQ(o->GetString("bin"), ":BIN:AQID");
  std::string buf = "junk";
  EXPECT_EQ(o->GetBin("bin", buf), 3);
  EXPECT_EQ(buf, std::string("\x01\x02\x03", 3));
  o->Put("lower", ":bin:AQID");
  EXPECT_EQ(o->GetBin("lower", buf), 3);
  o->Put("text", "plain");
  EXPECT_EQ(o->GetBin("text", buf), 0);
  EXPECT_EQ(buf, "");
  EXPECT_EQ(o->GetBin("missing", buf), 0);
  o->put("none", nullptr, 3);
  o->put("zero", bytes, 0);
  EXPECT_EQ(o->GetObject("none"), nullptr);
  EXPECT_EQ(o->GetObject("zero"), nullptr);
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[size_t(i)] = char(i);
  o->put("all", all.data(), 256);
  auto back = TJsonObject::Parse(o->AsJSon());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetBin("all", buf), 256);
  EXPECT_EQ(buf, all);
}

TEST(JsonValue, Arrays) {
  auto v = TJsonObject::Create(json_type_array);
  TJsonArray* a = v->AsArray();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Capacity(), 32);
  EXPECT_EQ(a->Add(int64_t(1)), 0);
  EXPECT_EQ(a->Add("two"), 1);
  EXPECT_EQ(a->Add(std::unique_ptr<TJsonObject>()), 2);
  EXPECT_EQ(a->Length(), 2);
  EXPECT_EQ(a->AddObject("{\"x\":1}"), 2);
  EXPECT_EQ(a->AddObject("{bad"), -1);
  EXPECT_EQ(v->AsJSon(), "[1,\"two\",{\"x\":1}]");
  // A gap below a Put stays null.
  a->Put(5, TJsonObject::Create(int64_t(6)));
  EXPECT_EQ(a->Length(), 6);
  EXPECT_EQ(a->Get(4), nullptr);
  EXPECT_EQ(v->AsJSon(), "[1,\"two\",{\"x\":1},null,null,6]");
  a->Put(-1, TJsonObject::Create(int64_t(0)));
  a->Put(JSON_ARRAY_MAX_LENGTH, TJsonObject::Create(int64_t(0)));
  EXPECT_EQ(a->Length(), 6);
  a->Put(100, TJsonObject::Create(int64_t(0)));
  EXPECT_EQ(a->Capacity(), 132);
  EXPECT_EQ(a->Length(), 101);
  a->Remove(100);
  EXPECT_EQ(a->Length(), 100);
  // Remove moves the last element into the hole.
  auto w = TJsonObject::Parse("[0,1,2,3]");
  w->AsArray()->Remove(1);
  EXPECT_EQ(w->AsJSon(), "[0,3,2]");
  w->AsArray()->Remove(7);
  EXPECT_EQ(w->ArrayLength(), 3);
  w->SetArray_Item(0, TJsonObject::Create("z"));
  w->SetArray_Item(10, TJsonObject::Create(int64_t(9)));
  w->SetArray_Item(-1, TJsonObject::Create(int64_t(8)));
  EXPECT_EQ(w->AsJSon(), "[\"z\",3,2,9]");
  EXPECT_EQ(w->GetArray_Item(4), nullptr);
  EXPECT_EQ(w->GetArray_Item(-1), nullptr);
  auto m = TJsonObject::Parse("[[1,2],[3,4]]");
  EXPECT_EQ(m->asArray_Get(1, 0)->AsInteger(), 3);
  EXPECT_EQ(m->asArray_Get(1, 2), nullptr);
  EXPECT_EQ(m->asArray_Get(2, 0), nullptr);
  auto first = m->First_InArray();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->AsJSon(), "[1,2]");
  EXPECT_NE(first.get(), m->GetArray_Item(0));
  EXPECT_EQ(TJsonObject::Create(json_type_array)->First_InArray(), nullptr);
  auto en = m->GetEnumerator();
  ASSERT_NE(en, nullptr);
  int count = 0;
  while (en->MoveNext()) EXPECT_EQ(en->GetCurrent(), m->GetArray_Item(count++));
  EXPECT_EQ(count, 2);
  EXPECT_FALSE(en->MoveNext());
  EXPECT_EQ(TJsonObject::Create(json_type_object)->GetEnumerator(), nullptr);
  // Interfaces.
  IJson_Array& ia = *a;
  EXPECT_EQ(ia.Add("s"), 100);
  EXPECT_EQ(ia.Length(), 101);
  IJson_Object& io = *TJsonObject::Parse("{\"a\":1}").release();
  EXPECT_EQ(io.GetInt("a"), 1);
  io.Put("b", int64_t(2));
  EXPECT_TRUE(io.IsType(json_type_object));
  EXPECT_EQ(io.AsJSon(), "{\"a\":1,\"b\":2}");
  delete static_cast<TJsonObject*>(&io);
}

TEST(JsonValue, CloneAndCompare) {
  auto v = TJsonObject::Parse("{\"a\":[1,2.5,\"x\",{\"b\":true}],\"c\":{}}");
  ASSERT_NE(v, nullptr);
  auto c = v->Clone();
  EXPECT_EQ(c->AsJSon(), v->AsJSon());
  c->Put("c", 1);
  EXPECT_NE(c->AsJSon(), v->AsJSon());
  auto i1 = TJsonObject::Create(int64_t(1));
  auto d1 = TJsonObject::Create(1.0);
  auto d2 = TJsonObject::Create(2.5);
  auto t = TJsonObject::Create(true);
  auto s1 = TJsonObject::Create("1");
  auto sa = TJsonObject::Create("a");
  auto sB = TJsonObject::Create("B");
  EXPECT_EQ(i1->Compare(d1.get()), cpEqu);
  EXPECT_EQ(i1->Compare(d2.get()), cpLess);
  EXPECT_EQ(d2->Compare(t.get()), cpGreat);
  EXPECT_EQ(t->Compare(i1.get()), cpEqu);
  EXPECT_EQ(i1->Compare(s1.get()), cpEqu);
  EXPECT_EQ(sa->Compare(sB.get()), cpLess);
  EXPECT_EQ(TJsonObject::Create("A")->Compare(sa.get()), cpEqu);
  EXPECT_EQ(TJsonObject::Create(std::nan(""))->Compare(d1.get()), cpGreat);
  EXPECT_EQ(i1->Compare(nullptr), cpError);
  EXPECT_EQ(i1->Compare(v.get()), cpError);
  EXPECT_EQ(v->Compare(v.get()), cpError);
  EXPECT_EQ(TJsonObject::Create(json_type_null)->Compare(i1.get()), cpError);
  // Large integers compare exactly.
  auto big1 = TJsonObject::Create(int64_t(9007199254740993LL));
  auto big2 = TJsonObject::Create(int64_t(9007199254740992LL));
  EXPECT_EQ(big1->Compare(big2.get()), cpGreat);
}

// ---------------------------------------------------------------- member tree

TEST(JsonAvl, RandomInsertDeleteKeepsOrderBalanceAndCount) {
  TJsonTableString t;
  std::map<std::string, int64_t> model;  // names are lower case: byte order = name order
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const std::string k = "k" + std::to_string(rng() % 2000);
    if (rng() % 3 == 0) {
      t.Delete(k);
      model.erase(k);
    } else {
      const int64_t val = step;
      t.Put(k, TJsonObject::Create(val));
      model[k] = val;
    }
    if (step % 2000 == 0 || step == 19999) {
      ASSERT_EQ(t.count(), int32_t(model.size()));
      // Heights and balance factors of every entry.
      std::function<int(PJsonAvlEntry)> height = [&](PJsonAvlEntry e) -> int {
        if (!e) return 0;
        const int l = height(e->FChild[0]), r = height(e->FChild[1]);
        EXPECT_EQ(e->FBf, r - l);
        EXPECT_LE(std::abs(r - l), 1);
        return 1 + std::max(l, r);
      };
      height(t.Root());
      TJsonAvlIterator it(&t);
      auto m = model.begin();
      for (it.First(); it.GetIter(); it.Next(), ++m) {
        ASSERT_NE(m, model.end());
        EXPECT_EQ(it.GetIter()->FName, m->first);
        EXPECT_EQ(it.GetIter()->FObj->AsInteger(), m->second);
      }
      EXPECT_EQ(m, model.end());
      auto r = model.rbegin();
      for (it.Last(); it.GetIter(); it.Prior(), ++r) EXPECT_EQ(it.GetIter()->FName, r->first);
      EXPECT_EQ(r, model.rend());
    }
  }
  TJsonObject* v = nullptr;
  EXPECT_EQ(t.KeyOF(0, v), model.begin()->first);
  EXPECT_EQ(v->AsInteger(), model.begin()->second);
  EXPECT_EQ(t.KeyOF(t.count(), v), "");
  EXPECT_EQ(v, nullptr);
  t.Clear();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.count(), 0);
}

TEST(JsonAvl, Search) {
  TJsonTableString t;
  for (const char* k : {"b", "d", "f", "h"}) t.Put(k, TJsonObject::Create(int64_t(1)));
  TJsonAvlIterator it(&t);
  auto at = [&](const char* k, TJsonAvlSearchTypes st) {
    it.Search(k, st);
    return it.GetIter() ? it.GetIter()->FName : std::string("-");
  };
  EXPECT_EQ(at("d", stEQual), "d");
  EXPECT_EQ(at("D", stEQual), "d");
  EXPECT_EQ(at("e", stEQual), "-");
  EXPECT_EQ(at("e", stLess), "d");
  EXPECT_EQ(at("e", stGreater), "f");
  EXPECT_EQ(at("d", stLess), "b");
  EXPECT_EQ(at("d", stGreater), "f");
  EXPECT_EQ(at("d", stEQual | stLess), "d");
  EXPECT_EQ(at("a", stLess), "-");
  EXPECT_EQ(at("z", stGreater), "-");
  EXPECT_EQ(at("z", stLess), "h");
  // The iterator can walk on from a search position.
  it.Search("c", stGreater);
  it.Next();
  EXPECT_EQ(it.GetIter()->FName, "f");
  TJsonAvlIterator empty(nullptr);
  empty.First();
  EXPECT_EQ(empty.GetIter(), nullptr);
}

// ---------------------------------------------------------------- threads

TEST(JsonThreads, SeparateDocumentsOnSeparateThreadsShareNoState) {
  const std::string text =
      "{\"z\":[1,2.5,\"s\\u00e9\"],\"a\":{\"k\":true},\"m\":\":BIN:AQID\",\"B\":null}";
  const std::string expected = TJsonObject::Parse(text)->AsJSon(true);
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      TJsonTokener tok;
      for (int i = 0; i < 300; ++i) {
        auto v = TJsonObject::ParseEx_New(tok, text);
        std::string bin;
        if (!v || v->AsJSon(true) != expected || v->Clone()->GetBin("m", bin) != 3) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}
