#include "common/ux_common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "support/scoped_env.h"

namespace fs = std::filesystem;
using namespace ux;

namespace {

using TempDir = qlyn_test::TTempDir;

// Switches the process code page for one test.


const std::string kGbkZhong = "\xD6\xD0";          // 中
const std::string kGbkWithBackslash = "\x95\x5C";  // a GBK character whose trail byte is 0x5C

}  // namespace

TEST(Search, CiPos) {
  EXPECT_EQ(ci_pos("LO", "hello world"), 4u);
  EXPECT_EQ(ci_pos("o", "hello world", 6), 8u);
  EXPECT_EQ(ci_pos("o", "hello world", -5), 5u);
  EXPECT_EQ(ci_pos("", "abc"), 0u);
  EXPECT_EQ(ci_pos("abcd", "abc"), 0u);
  EXPECT_EQ(ci_pos("x", "abc"), 0u);
  EXPECT_EQ(ci_pos("c", "abc", 4), 0u);
  // Bytes of double-byte characters compare exactly.
  EXPECT_EQ(ci_pos("\xD6\xF0", kGbkZhong), 0u);
}

TEST(Search, Equality) {
  EXPECT_TRUE(ci_equal("", ""));
  EXPECT_TRUE(ci_equal("Content-Length", "content-length"));
  EXPECT_FALSE(ci_equal("abc", "abcd"));
  EXPECT_FALSE(ci_equal("\xC0", "\xE0"));  // no folding outside A-Z
  EXPECT_TRUE(ci_equal_any2("GET", "post", "get"));
  EXPECT_TRUE(ci_equal_any3("c", "a", "b", "C"));
  EXPECT_TRUE(ci_equal_buf("ABC", "abc", 3));
  EXPECT_FALSE(ci_equal_buf("ABC", "abc", 2));
  EXPECT_TRUE(ci_prefix_equal("HTTP/1.1", "http/1.0", 5));
  EXPECT_FALSE(ci_prefix_equal("HT", "http", 3));  // too short: whole-string comparison
  EXPECT_TRUE(ci_prefix_equal("ab", "AB", 0));
  const std::string list[] = {"upd", "update"};
  EXPECT_TRUE(ci_in_list("UPDATE", list, 1));
  EXPECT_FALSE(ci_in_list("UPDATE", list, 0));
  EXPECT_TRUE(ci_in_list("Upd", {"x", "upd"}));
}

TEST(Tokens, FetchToken) {
  std::string s = "cp  $sour$a $dest$b";
  EXPECT_EQ(fetch_token(s, " "), "cp");
  EXPECT_EQ(s, " $sour$a $dest$b");
  std::string whole = "nospace";
  EXPECT_EQ(fetch_token(whole, " "), "nospace");
  EXPECT_EQ(whole, "");
  std::string ci = "aXXbXXc";
  EXPECT_EQ(fetch_token(ci, "xx"), "a");
  EXPECT_EQ(ci, "bXXc");
  std::string empty;
  EXPECT_EQ(fetch_token(empty, ","), "");
  std::string nosep = "abc";
  EXPECT_EQ(fetch_token(nosep, ""), "abc");
  EXPECT_EQ(nosep, "");
}

TEST(Tokens, FetchLastToken) {
  std::string s = "a/b/c";
  EXPECT_EQ(fetch_last_token(s, "/"), "c");
  EXPECT_EQ(s, "a/b");
  std::string exact = "aXb";
  EXPECT_EQ(fetch_last_token(exact, "x"), "aXb");
  EXPECT_EQ(exact, "");
}

TEST(Replace, ReplaceAll) {
  EXPECT_EQ(replace_all("banana", "a", "A"), "banana");  // differs only in case
  EXPECT_EQ(replace_all("XaaX", "AA", "b"), "XbX");
  EXPECT_EQ(replace_all("XaaX", "AA", "b", true), "XaaX");
  EXPECT_EQ(replace_all("aaa", "aa", "bc"), "bbc");     // same length: every overlapping match written over
  EXPECT_EQ(replace_all("aaaa", "aa", "b"), "bb");      // different length: non-overlapping
  EXPECT_EQ(replace_all("abc", "abcd", "x"), "abc");
  EXPECT_EQ(replace_all("", "a", "b"), "");
  EXPECT_EQ(replace_all("a-b-c", "-", ""), "abc");
  EXPECT_EQ(unescape_param("a%2cb%3Dc"), "a,b=c");
}

TEST(Replace, ReplaceCharKeepsDoubleByteCharacters) {
  qlyn_test::TCodePageScope gbk(CP_GBK);
  const std::string path = "dir\\" + kGbkWithBackslash + "\\file";
  EXPECT_EQ(replace_char(path, '\\', '/'), "dir/" + kGbkWithBackslash + "/file");
  EXPECT_EQ(replace_char("abc", 'b', 'b'), "abc");
}

TEST(Text, SmallHelpers) {
  EXPECT_EQ(left_text("abcdef", 2), "ab");
  EXPECT_EQ(left_text("ab", 5), "ab");
  EXPECT_EQ(right_text("abcdef", 2), "ef");
  EXPECT_EQ(right_text("ab", -1), "");
  EXPECT_EQ(first_byte(""), 0);
  EXPECT_EQ(last_byte("xyz"), 'z');
  EXPECT_EQ(concat_texts("a", "b", "c", "d", "e"), "abcde");
  EXPECT_EQ(trim_text("\t\r\n  x y \x01"), "x y");
  EXPECT_EQ(lower_ascii("ABC\xC4z"), "abc\xC4z");
  EXPECT_EQ(last_pos_in_set(TByteSet{'/', '\\'}, "a/b\\c"), 4u);
  EXPECT_EQ(last_pos_in_set(TByteSet{'/'}, "abc"), 0u);
  EXPECT_EQ(values_to_text({1, "-", true, ' ', 2.5, int64_t(-7), nullptr, static_cast<const void*>(nullptr)}),
            "1-True 2.5-7[object]");
  // 15 significant digits; scientific only below 0.0001 or from 1E15.
  EXPECT_EQ(values_to_text({100000.0}), "100000");
  EXPECT_EQ(values_to_text({3000000.0, " ", 123456789012345.0}), "3000000 123456789012345");
  EXPECT_EQ(values_to_text({0.1 + 0.2}), "0.3");
  EXPECT_EQ(values_to_text({0.0001, " ", 0.00001, " ", 1e15, " ", -1.5e-7}), "0.0001 1E-5 1E15 -1.5E-7");
  EXPECT_EQ(values_to_text({-0.0}), "0");
}

TEST(Format, Numbers) {
  EXPECT_EQ(format_text("%4.5f", {3.141592653589793}), "3.14159");
  EXPECT_EQ(format_text("%4.5f", {12345.5}), "12345.50000");
  EXPECT_EQ(format_text("%d-%s", {42, "x"}), "42-x");
  EXPECT_EQ(format_text("%5d|%-5d|%.3d", {7, 7, 7}), "    7|7    |007");
  EXPECT_EQ(format_text("%x %.4x", {255, 255}), "FF 00FF");
  EXPECT_EQ(format_text("%1:s %0:s", {"a", "b"}), "b a");
  EXPECT_EQ(format_text("%*d", {4, 1}), "   1");
  EXPECT_EQ(format_text("%.1f %%", {99.95}), "100.0 %");
  EXPECT_EQ(format_text("%n", {1234567.891}), "1,234,567.89");
  EXPECT_EQ(format_text("%e", {1234.5}), "1.23450000000000E+003");
  EXPECT_EQ(format_text("%g", {12.5}), "12.5");
  EXPECT_EQ(format_text("%d", {int64_t(INT64_MIN)}), "-9223372036854775808");
  EXPECT_EQ(format_text("%.2s", {"abc"}), "ab");
  EXPECT_EQ(format_text("%.100000x", {255}), std::string(99998, '0') + "FF");
  EXPECT_EQ(format_text("%.100000d", {-7}), "-" + std::string(99999, '0') + "7");
  EXPECT_EQ(format_text("%.300f", {-1.5e308}).size(), 1u + 309 + 1 + 300);
  // Errors give an empty text.
  EXPECT_EQ(format_text("%d", {"text"}), "");
  EXPECT_EQ(format_text("%d %d", {1}), "");
  EXPECT_EQ(format_text("%", {}), "");
}

// A locale with a decimal comma, compiled into a temporary folder when the
// system has none installed.
bool select_decimal_comma_locale(TempDir& dir) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) return true;
  const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir.dir() + "de_DE.UTF-8 >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return false;
  setenv("LOCPATH", dir.dir().c_str(), 1);
  return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

TEST(Format, DecimalSeparatorIgnoresLocale) {
  TempDir dir;
  if (!select_decimal_comma_locale(dir)) GTEST_SKIP() << "no locale with a decimal comma can be made";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5");  // the C library now writes a comma
  EXPECT_EQ(format_text("%4.5f", {1.5}), "1.50000");
  EXPECT_EQ(size_text(13107200), "12.5 MB");
  EXPECT_EQ(values_to_text({2.25}), "2.25");
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
}

TEST(Numbers, IntTextAndParse) {
  EXPECT_EQ(int_text(0), "0");
  EXPECT_EQ(int_text(9999), "9999");
  EXPECT_EQ(int_text(-123456789012), "-123456789012");
  EXPECT_EQ(parse_int64("1234"), 1234);
  EXPECT_EQ(parse_int64("-17"), -17);
  EXPECT_EQ(parse_int64("+5"), 5);
  EXPECT_EQ(parse_int64("$ff"), 255);
  EXPECT_EQ(parse_int64("0x10"), 16);
  EXPECT_EQ(parse_int64(" "), 0);
  EXPECT_EQ(parse_int64(" 12"), 12);   // three bytes: the space counts as 0
  EXPECT_EQ(parse_int64(" 1"), 0);     // two bytes: not a number
  EXPECT_EQ(parse_int64("12a"), 0);
  EXPECT_EQ(parse_int64(""), 0);
  EXPECT_EQ(parse_int64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parse_int64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_int64("9223372036854775808"), 0);
  EXPECT_EQ(parse_int64("99999999999999999999999"), 0);
}

TEST(Numbers, SizeText) {
  EXPECT_EQ(size_text(0), "0 KB");
  EXPECT_EQ(size_text(1020), "1 KB");
  EXPECT_EQ(size_text(1048576), "1028 KB");
  EXPECT_EQ(size_text(1048577), "1 MB");
  EXPECT_EQ(size_text(13107200), "12.5 MB");
  EXPECT_EQ(size_text(int64_t(5) << 30), "5 GB");
  EXPECT_EQ(size_text(int64_t(3) << 30), "3 GB");
  EXPECT_EQ(size_text(2200000000), "2.1 GB");
  EXPECT_EQ(size_text(-10), "0 KB");
  EXPECT_EQ(size_text(153), "0.2 KB");  // 1.5 rounds half to even
  EXPECT_EQ(size_text(int64_t(100000) * 1069547520), "100000 GB");
}

TEST(Numbers, MinMaxSwapRandom) {
  EXPECT_EQ(min64(-1, 2), -1);
  EXPECT_EQ(max32(-1, 2), 2);
  EXPECT_EQ(abs_diff(INT64_MIN, INT64_MAX), UINT64_MAX);
  EXPECT_TRUE(in_range(5, 5, 6));
  EXPECT_EQ(swap16(0x1234), 0x3412);
  EXPECT_EQ(swap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(swap64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_EQ(random_between(7, 7), 7);
  std::set<int64_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const int64_t r = random_between(10, 3);
    ASSERT_TRUE(in_range(r, 3, 10));
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 8u);
  const std::string digits = random_digits(12);
  ASSERT_EQ(digits.size(), 12u);
  EXPECT_NE(digits[0], '0');
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(random_digits(0), "");
}

TEST(UrlAndParams, UrlDecode) {
  EXPECT_EQ(url_decode("a+b%20c%%d"), "a b c%d");
  EXPECT_EQ(url_decode("%4g"), "@");  // a non-hex character counts as 0
  EXPECT_EQ(url_decode("x%4"), "x%4");
  EXPECT_EQ(url_decode("x%"), "x%");
  EXPECT_EQ(url_decode("%u4E2D"), "\xE4\xB8\xAD");
  EXPECT_EQ(url_decode("%U4E2D"), "\x04" "E2D");  // only "%u" spells a UTF-16 code
  EXPECT_EQ(url_decode("%uD83D%uDE00!"), "\xF0\x9F\x98\x80!");
  EXPECT_EQ(url_decode("%uD83Dx"), "\xEF\xBF\xBDx");  // a lone half is replaced
  qlyn_test::TCodePageScope gbk(CP_GBK);
  EXPECT_EQ(url_decode("%u4E2D"), kGbkZhong);
}

TEST(UrlAndParams, ParamValue) {
  EXPECT_EQ(param_value("name=x&name2=y", "name2", "&", "="), "y");
  EXPECT_EQ(param_value("name=x&name2=y", "ame2", "&", "="), "");
  EXPECT_EQ(param_value("name=x&name2=y", "NAME", "&", "="), "x");
  EXPECT_EQ(param_value("a=1&b=x%2Cy", "b", "&", "="), "x,y");
  EXPECT_EQ(param_value("", "a", "&", "="), "");
}

TEST(Conversions, RoundTripsAndInvalidInput) {
  const std::string utf8 = "Qlyn \xE7\xA7\x81\xE6\x9C\x89\xE7\xBD\x91\xE7\x9B\x98";  // Qlyn 私有网盘
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(utf8)), utf8);
  EXPECT_EQ(utf8_to_utf16("\xE4\xB8\xAD"), std::u16string(u"\u4E2D"));
  EXPECT_EQ(gbk_to_utf8(kGbkZhong), "\xE4\xB8\xAD");
  EXPECT_EQ(utf8_to_gbk("\xE4\xB8\xAD"), kGbkZhong);
  EXPECT_EQ(utf8_to_utf16("a\xFF" "b"), std::u16string(u"a\uFFFDb"));
  EXPECT_EQ(utf8_to_gbk("\xF0\x9F\x98\x80"), "?");  // no GBK form
  std::string out = "untouched";
  EXPECT_FALSE(utf16_to_utf8(std::u16string(1, char16_t(0xD800)), out));
  EXPECT_EQ(out, "untouched");
  EXPECT_TRUE(utf16_to_utf8(u"\U0001F600", out));
  EXPECT_EQ(out, "\xF0\x9F\x98\x80");
  {
    qlyn_test::TCodePageScope gbk(CP_GBK);
    EXPECT_EQ(text_to_utf16(kGbkZhong), std::u16string(u"\u4E2D"));
    EXPECT_EQ(utf16_to_text(u"\u4E2D"), kGbkZhong);
    EXPECT_EQ(text_to_os(kGbkZhong), "\xE4\xB8\xAD");
    EXPECT_TRUE(is_lead_byte(0x80));
    EXPECT_EQ(bytes_to_text("\xE4\xB8\xAD", 3, true), kGbkZhong);
  }
  qlyn_test::TCodePageScope utf(CP_UTF8);
  EXPECT_FALSE(is_lead_byte(0xD6));
  EXPECT_EQ(text_to_utf16("\xE4\xB8\xAD"), std::u16string(u"\u4E2D"));
  EXPECT_EQ(bytes_to_text("abc", 0, false), "");
}

TEST(Conversions, FullwidthToAscii) {
  {
    qlyn_test::TCodePageScope gbk(CP_GBK);
    // "ＡＢ１２（）" in GBK, then a character whose trail byte looks like A3.
    EXPECT_EQ(fullwidth_to_ascii("\xA3\xC1\xA3\xC2\xA3\xB1\xA3\xB2\xA3\xA8\xA3\xA9"), "AB12()");
    EXPECT_EQ(fullwidth_to_ascii("\xB0\xA3\xC1"), "\xB0\xA3\xC1");
    EXPECT_EQ(fullwidth_to_ascii("\xA3\xE1"), "\xA3\xE1");  // lower-case letters stay
    // A3FE is the full-width macron and A3A4 the yen sign; the tilde is A1AB.
    EXPECT_EQ(fullwidth_to_ascii("\xA3\xFE\xA3\xA4\xA1\xAB\xA3\xDC\xA1\xE7"), "\xA3\xFE\xA3\xA4~\\$");
  }
  EXPECT_EQ(fullwidth_to_ascii("\xEF\xBC\xA1\xEF\xBC\x91\xEF\xBC\x8C"), "A1,");  // Ａ１，
  EXPECT_EQ(fullwidth_to_ascii("\xEF\xBD\x81"), "\xEF\xBD\x81");                  // ａ stays
  EXPECT_EQ(fullwidth_to_ascii("\xEF\xBC\x84\xEF\xBD\x9E"), "$~");                // ＄～
}

TEST(Env, EnvText) {
  setenv("UX_COMMON_TEST_VAR", "value", 1);
  EXPECT_EQ(env_text("UX_COMMON_TEST_VAR"), "value");
  setenv("UX_COMMON_TEST_VAR", "\xE4\xB8\xAD", 1);
  {
    qlyn_test::TCodePageScope gbk(CP_GBK);
    EXPECT_EQ(env_text("UX_COMMON_TEST_VAR"), kGbkZhong);
  }
  unsetenv("UX_COMMON_TEST_VAR");
  EXPECT_EQ(env_text("UX_COMMON_TEST_VAR"), "");
}

TEST(JsonText, EscapeAndUnescape) {
  EXPECT_EQ(json_escape(std::string("a\"b/c\\d\b\t\n\r", 11) + std::string(1, '\0'), false),
            "a\\\"b\\/c\\\\d\\b\\t\\n\\r\\u0000");
  EXPECT_EQ(json_escape("\x01", false), "\x01");
  EXPECT_EQ(json_unescape("a\\\"b\\/c\\\\d\\B\\T\\N\\R"), "a\"b/c\\d\b\t\n\r");
  EXPECT_EQ(json_unescape("\\u0041\\x"), "\\u0041\\x");
  EXPECT_EQ(json_unescape("end\\"), "end\\");
  EXPECT_EQ(json_unescape("\\\\n"), "\\n");
  qlyn_test::TCodePageScope gbk(CP_GBK);
  EXPECT_EQ(json_escape(kGbkWithBackslash + "\\", false), kGbkWithBackslash + "\\\\");
  EXPECT_EQ(json_escape(kGbkWithBackslash, true), "\x95\\\\");
  EXPECT_EQ(json_unescape(kGbkWithBackslash + "\\n"), kGbkWithBackslash + "\n");
}

TEST(JsonText, Field) {
  EXPECT_EQ(json_text_int("{\"sum\":1234, \"speed\":0}", "SUM", 0), 1234);
  EXPECT_EQ(json_text_int("{\"sum\":1234, \"speed\":0}", "pos", 0), 0);
  EXPECT_EQ(json_text_int("{\"sum\":\"x\"}", "sum", 9), 9);
  EXPECT_EQ(json_text_field("{\"a\":\"sum\", \"sum\":5}", "sum"), "5");
  EXPECT_EQ(json_text_field("{\"ok\":true}", "ok"), "");
  EXPECT_EQ(json_text_field("{\"ok\":true, \"n\":1}", "ok"), "");
  EXPECT_EQ(json_text_field("{\"s\":\"a\\\"b, c\"}", "s"), "a\"b, c");
  EXPECT_EQ(json_text_field("{\"s\":\"open", "s"), "open");
  EXPECT_EQ(json_text_field("{\"l\":[1,2,3], \"x\":1}", "l"), "[1,2,3]");
  EXPECT_EQ(json_text_field("{\"l\":[1,2", "l"), "[1,2]");
  EXPECT_EQ(json_text_field("{\"o\":{\"a\":{\"b\":1}}, \"x\":2}", "o"), "{\"a\":{\"b\":1}}");
  EXPECT_EQ(json_text_field("{\"o\":{\"s\":\"}\"}}", "o"), "{\"s\":\"}\"}");
  EXPECT_EQ(json_text_field("{\"n\": -12.5 }", "n"), "-12.5");
  EXPECT_EQ(json_text_field("{\"n\":1}", "missing"), "");
  EXPECT_EQ(json_text_field("", "n"), "");
  qlyn_test::TCodePageScope gbk(CP_GBK);
  // A 0x5C trail byte does not escape the closing quote.
  EXPECT_EQ(json_text_field("{\"p\":\"" + kGbkWithBackslash + "\", \"q\":1}", "p"), kGbkWithBackslash);
}

TEST(JsonText, Set) {
  std::string j;
  EXPECT_EQ(json_text_set_str(j, "cmd", "connected"), 1);
  EXPECT_EQ(j, "{\"cmd\":\"connected\"}");
  EXPECT_EQ(json_text_set_int(j, "sum", 100), 1);
  EXPECT_EQ(j, "{\"cmd\":\"connected\", \"sum\":100}");
  EXPECT_EQ(json_text_set_int(j, "SUM", 250), 1);
  EXPECT_EQ(j, "{\"cmd\":\"connected\", \"sum\":250}");
  EXPECT_EQ(json_text_set_str(j, "cmd", "a, b \"c\""), 1);
  EXPECT_EQ(json_text_field(j, "cmd"), "a, b \"c\"");
  EXPECT_EQ(json_text_int(j, "sum"), 250);
  // Replacing a string that holds "," or "}" keeps the rest intact.
  EXPECT_EQ(json_text_set_str(j, "cmd", "x"), 1);
  EXPECT_EQ(j, "{\"cmd\":\"x\", \"sum\":250}");
  EXPECT_EQ(json_text_set(j, "", "1"), 0);
  std::string at_start = "\"k\":1";
  EXPECT_EQ(json_text_set(at_start, "k", "2"), 0);
  std::string arr = "{\"l\":[1,2], \"n\":3}";
  EXPECT_EQ(json_text_set(arr, "l", "[]"), 1);
  EXPECT_EQ(arr, "{\"l\":[], \"n\":3}");
  // A value that spells the name is not the field.
  std::string v = "{\"a\":\"sum\", \"b\":5}";
  EXPECT_EQ(json_text_set_int(v, "sum", 7), 1);
  EXPECT_EQ(v, "{\"a\":\"sum\", \"b\":5, \"sum\":7}");
  std::string last = "{\"a\":\"sum\"}";
  EXPECT_EQ(json_text_set_int(last, "sum", 7), 1);
  EXPECT_EQ(last, "{\"a\":\"sum\", \"sum\":7}");
  std::string both = "{\"a\":\"sum\", \"sum\":5}";
  EXPECT_EQ(json_text_set_int(both, "sum", 7), 1);
  EXPECT_EQ(both, "{\"a\":\"sum\", \"sum\":7}");
}

TEST(JsonText, Build) {
  EXPECT_EQ(build_json_text({"cmd", "connected", "tag", "main-file"}), "{\"cmd\":\"connected\", \"tag\":\"main-file\"}");
  EXPECT_EQ(build_json_text({"n", 12, "ok", true, "no", false, "e", "", "z", nullptr, "", "skipped", "d", 1.5}),
            "{\"n\":12, \"ok\":1, \"no\":0, \"e\":\"\", \"z\":\"\", \"d\":1.5}");
  EXPECT_EQ(build_json_text({"p", "C:\\a/b"}), "{\"p\":\"C:\\\\a\\/b\"}");
  EXPECT_EQ(build_json_text({}), "{}");
  EXPECT_EQ(build_json_text({"c", 'x', "q", '"'}), "{\"c\":\"x\", \"q\":\"\\\"\"}");
}

TEST(Base64, Decode) {
  EXPECT_EQ(base64_decode_text("aGVsbG8="), "hello");
  EXPECT_EQ(base64_decode_text("aGVsbA=="), "hell");
  EXPECT_EQ(base64_decode_text("aGVs"), "hel");
  EXPECT_EQ(base64_decode_text("aGVsbG8"), "");  // not a multiple of 4
  EXPECT_EQ(base64_decode_text("a"), "");
  EXPECT_EQ(base64_decode_text("a=b="), "i");    // "=" in second place is skipped like any other stray byte
  EXPECT_EQ(base64_decode_text("a b="), base64_decode_text("a+b="));
  std::string big(1000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
  std::string text = base64_encode_text(big);
  std::string wrapped;
  for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
  EXPECT_EQ(base64_decode_text(wrapped), big);
  EXPECT_EQ(base64_encode_text("hello"), "aGVsbG8=");
}

TEST(Files, WriteReadAppendDelete) {
  TempDir dir;
  const std::string f = dir.dir() + "a.txt";
  EXPECT_EQ(write_text_to_file("hello", f), 5);
  EXPECT_EQ(read_file_text(f), "hello");
  EXPECT_EQ(file_size(f), 5);
  EXPECT_EQ(write_text_to_file("", ""), 0);
  EXPECT_EQ(write_text_to_file("x", dir.dir() + "missing/dir/f"), -1);
  chmod(f.c_str(), 0750);
  EXPECT_EQ(write_text_to_file("replaced", f), 8);
  EXPECT_EQ(read_file_text(f), "replaced");
  struct stat st{};
  stat(f.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_EQ(write_buf_to_file("abc", 3, f), 1);
  EXPECT_EQ(read_file_text(f), "abc");
  EXPECT_EQ(write_buf_to_file(nullptr, 3, f), 1);
  EXPECT_EQ(file_size(f), 0);
  EXPECT_EQ(append_text_to_file("12", f), 2);
  EXPECT_EQ(append_text_to_file("34", f), 2);
  EXPECT_EQ(read_file_text(f), "1234");
  EXPECT_EQ(delete_file(f), 0);
  EXPECT_EQ(delete_file(f), -1);
  EXPECT_EQ(read_file_text(f), "");
  EXPECT_EQ(file_size(f), 0);
  EXPECT_EQ(file_time(f), 0);
  // No temporary file is left behind.
  EXPECT_TRUE(fs::is_empty(dir.dir()));
  // A name near the length limit is replaced like any other.
  const std::string long_name = dir.dir() + std::string(250, 'n');
  EXPECT_EQ(write_text_to_file("new", long_name), 3);
  EXPECT_EQ(write_text_to_file("again", long_name), 5);
  EXPECT_EQ(read_file_text(long_name), "again");
  EXPECT_EQ(write_text_to_file("x", dir.dir() + std::string(300, 'n')), -1);
  if (geteuid() != 0) {
    // A folder that refuses new files: -1, and the old file is left as it was.
    ::chmod(dir.path().c_str(), 0555);
    EXPECT_EQ(write_text_to_file("lost", long_name), -1);
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(read_file_text(long_name), "again");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(Files, SizeOfSpecialEntries) {
  TempDir dir;
  EXPECT_EQ(file_size(dir.path()), 0);
  const std::string fifo = dir.dir() + "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(file_size(fifo), 0);  // returns without a writer
  EXPECT_EQ(read_file_text(fifo), "");
  EXPECT_EQ(md5_file_hex(fifo), "");
  EXPECT_EQ(file_fingerprint(fifo), "");
  EXPECT_EQ(read_file_text("/dev/zero"), "");
  EXPECT_EQ(append_text_to_file("x", fifo), 1);  // no reader: swallowed, not waited for
  ASSERT_EQ(symlink("fifo", (dir.dir() + "fifo_link").c_str()), 0);
  EXPECT_EQ(write_text_to_file("x", dir.dir() + "fifo_link"), -1);
  write_text_to_file("12345", dir.dir() + "target");
  ASSERT_EQ(symlink("target", (dir.dir() + "link").c_str()), 0);
  EXPECT_EQ(file_size(dir.dir() + "link"), 5);
}

TEST(Files, ExistenceProbes) {
  TempDir dir;
  const std::string f = dir.dir() + "f", fifo = dir.dir() + "fifo", dangling = dir.dir() + "dangling";
  ASSERT_EQ(write_text_to_file("x", f), 1);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("missing", dangling.c_str()), 0);
  ASSERT_EQ(symlink("f", (dir.dir() + "link").c_str()), 0);
  EXPECT_TRUE(file_exists(f));
  EXPECT_TRUE(file_exists(fifo));
  EXPECT_TRUE(file_exists(dir.dir() + "link"));
  EXPECT_FALSE(file_exists(dir.path()));
  EXPECT_FALSE(file_exists(dangling));
  EXPECT_FALSE(file_exists(dir.dir() + "none"));
  EXPECT_FALSE(file_exists(""));
  EXPECT_TRUE(name_exists(dangling));
  EXPECT_TRUE(name_exists(dir.path()));
  EXPECT_FALSE(name_exists(dir.dir() + "none"));
  EXPECT_FALSE(name_exists(""));
  {
    qlyn_test::TCodePageScope gbk(CP_GBK);
    ASSERT_EQ(write_text_to_file("y", dir.dir() + kGbkZhong), 1);
    EXPECT_TRUE(file_exists(dir.dir() + kGbkZhong));
    EXPECT_TRUE(name_exists(dir.dir() + kGbkZhong));
  }
  EXPECT_TRUE(file_exists(dir.dir() + "\xE4\xB8\xAD"));
}

TEST(Files, ResolvedPathsAndConfinement) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directories(dir.dir() + "a/b"));
  ASSERT_EQ(symlink("..", (dir.dir() + "a/up").c_str()), 0);
  const std::string root = resolved_os_path(dir.path());
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(resolved_os_path(dir.dir() + "a/../a/b/"), root + "/a/b");
  EXPECT_EQ(resolved_os_path(dir.dir() + "a/up"), root);
  EXPECT_EQ(resolved_os_path(dir.dir() + "none"), "");
  EXPECT_TRUE(os_path_inside(root + "/a/b", root + "/a"));
  EXPECT_TRUE(os_path_inside(root + "/a", root + "/a"));
  // A name that only begins like the root, the root's parent, a link out.
  EXPECT_FALSE(os_path_inside(root + "/ab", root + "/a"));
  EXPECT_FALSE(os_path_inside(root, root + "/a"));
  EXPECT_FALSE(os_path_inside(resolved_os_path(dir.dir() + "a/up/a/up"), root + "/a"));
  EXPECT_TRUE(os_path_inside(root, "/"));
  EXPECT_FALSE(os_path_inside("relative", "/"));
  EXPECT_FALSE(os_path_inside(root, ""));
  EXPECT_FALSE(os_path_inside("", root));
}

TEST(Files, ConcurrentAppendsAreWhole) {
  TempDir dir;
  const std::string f = dir.dir() + "log";
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) append_text_to_file(std::string(50, char('a' + t)) + "\n", f);
    });
  for (auto& th : threads) th.join();
  const std::string all = read_file_text(f);
  EXPECT_EQ(all.size(), 4u * 200 * 51);
  for (size_t i = 0; i < all.size(); i += 51) EXPECT_EQ(all.substr(i, 50), std::string(50, all[i]));
}

TEST(Files, ForceDirs) {
  TempDir dir;
  force_dirs(dir.dir() + "C:/a//b");
  EXPECT_TRUE(fs::is_directory(dir.dir() + "C:/a/b"));
  force_dirs(dir.dir() + "x\\y\\z");
  EXPECT_TRUE(fs::is_directory(dir.dir() + "x/y/z"));
  force_dirs("");
  force_dirs("/");
  qlyn_test::TCodePageScope gbk(CP_GBK);
  force_dirs(dir.dir() + kGbkZhong);
  EXPECT_TRUE(fs::is_directory(dir.dir() + "\xE4\xB8\xAD"));
}

TEST(Files, WalkDir) {
  TempDir dir;
  force_dirs(dir.dir() + "sub/deep");
  write_text_to_file("1", dir.dir() + "b.txt");
  write_text_to_file("", dir.dir() + "empty.txt");
  write_text_to_file("22", dir.dir() + "sub/c.txt");
  write_text_to_file("333", dir.dir() + "sub/deep/d.txt");
  symlink("b.txt", (dir.dir() + "link").c_str());
  const std::string cwd_before = fs::current_path();

  std::vector<std::string> seen;
  walk_dir(dir.dir(), &seen,
           [](void* user, const std::string& d, bool is_dir, const std::string& name, bool&) {
             static_cast<std::vector<std::string>*>(user)->push_back((is_dir ? "D " : "F ") + d + name);
           },
           true);
  const std::string root = fs::canonical(dir.dir()).string() + "/";
  const std::vector<std::string> expected = {"F " + root + "b.txt", "F " + root + "link", "D " + root + "sub",
                                             "F " + root + "sub/c.txt", "D " + root + "sub/deep",
                                             "F " + root + "sub/deep/d.txt"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(fs::current_path().string(), cwd_before);

  int calls = 0;
  walk_dir(dir.dir(), nullptr,
           [&](void*, const std::string&, bool, const std::string&, bool& keep_going) {
             ++calls;
             keep_going = false;
           },
           true);
  EXPECT_EQ(calls, 1);

  int flat = 0;
  walk_dir(dir.dir(), nullptr,
           [&](void*, const std::string&, bool, const std::string&, bool&) {
             ++flat;
             throw std::runtime_error("ignored");
           },
           false);
  EXPECT_EQ(flat, 3);
  walk_dir(dir.dir() + "none", nullptr, [&](void*, const std::string&, bool, const std::string&, bool&) { FAIL(); },
           true);
}

TEST(Files, Md5AndFingerprint) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
  TempDir dir;
  const std::string small = dir.dir() + "small";
  write_text_to_file("abc", small);
  EXPECT_EQ(md5_file_hex(small), md5_hex("abc"));
  EXPECT_EQ(file_fingerprint(small), md5_hex("abc"));
  EXPECT_EQ(md5_file_hex(dir.dir() + "none"), "");
  EXPECT_EQ(file_fingerprint(dir.dir() + "none"), "");

  std::string big(1000001, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31 + (i >> 9));
  const std::string bigf = dir.dir() + "big";
  write_text_to_file(big, bigf);
  EXPECT_EQ(md5_file_hex(bigf), md5_hex(big));
  const std::string expected =
      md5_hex(md5_hex(big.substr(0, 65536)) + md5_hex(big.substr(big.size() - 65536)) + "1000001");
  EXPECT_EQ(file_fingerprint(bigf), expected);
  write_text_to_file(big.substr(0, 1000000), bigf);
  EXPECT_EQ(file_fingerprint(bigf), md5_hex(big.substr(0, 1000000)));
}

TEST(Digest, StreamedInPiecesOfAnySize) {
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + (i >> 11));
  size_t at = 0;
  size_t piece = 1;
  // A source that hands out 1, 2, 3, ... bytes per call, whatever is asked.
  const TReadFunc source = [&](void* buffer, int64_t count) -> int64_t {
    const size_t n = std::min({piece++, size_t(count), data.size() - at});
    std::memcpy(buffer, data.data() + at, n);
    at += n;
    return int64_t(n);
  };
  EXPECT_EQ(md5_hex_of(source, -1, false), md5_hex(data));
  at = 0, piece = 1;
  EXPECT_EQ(md5_hex_of(source, 1000, true), md5_hex(data.substr(0, 1000)));
  EXPECT_EQ(at, 1000u);  // nothing read past length
  at = 0, piece = 1;
  EXPECT_EQ(md5_hex_of(source, int64_t(data.size()) + 1, true), "");  // the source ended early
  at = 0, piece = 1;
  EXPECT_EQ(md5_hex_of(source, int64_t(data.size()) + 1, false), md5_hex(data));
  EXPECT_EQ(md5_hex_of(source, 0, true), md5_hex(""));
  TMd5 md5;
  md5.update("The quick brown ", 16);
  md5.update("fox jumps over the lazy dog", 27);
  EXPECT_EQ(md5.hex(), "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(md5.hex(), "");  // finished
}

TEST(Files, ExeDir) {
  const std::string d = exe_dir();
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d.back(), '/');
  EXPECT_TRUE(fs::exists(d + "test_ux_common"));
  EXPECT_EQ(exe_dir(true), d);
}

TEST(Clock, FakeClockReplacesBothClocks) {
  const int64_t real = now_ms();
  {
    TFakeClock clock(5000, 100);
    EXPECT_EQ(now_ms(), 5000);
    EXPECT_EQ(tick_ms(), 100);
    clock.advance(30000);
    EXPECT_EQ(now_ms(), 35000);
    EXPECT_EQ(tick_ms(), 30100);
    clock.set_now(1);
    EXPECT_EQ(now_ms(), 1);
    {
      TFakeClock inner(7, 8);
      EXPECT_EQ(now_ms(), 7);
    }
    EXPECT_EQ(now_ms(), 1);  // the outer clock is back
  }
  EXPECT_GE(now_ms(), real);
  const int64_t t1 = tick_ms();
  EXPECT_GE(tick_ms(), t1);
}

TEST(Clock, DateTimes) {
  setenv("TZ", "UTC", 1);
  tzset();
  const TDateTime t = encode_datetime(2024, 2, 29, 13, 5, 9, 7);
  EXPECT_EQ(datetime_text(t, true), "2024-02-29 13:05:09.007");
  EXPECT_EQ(datetime_text(t, false), "2024-02-29 13:05:09");
  EXPECT_EQ(datetime_text(encode_datetime(1899, 12, 30, 0, 0, 0, 0), false), "1899-12-30 00:00:00");
  EXPECT_EQ(now_ms(encode_datetime(1970, 1, 1, 0, 0, 1, 500)), 1500);
  EXPECT_THROW(encode_datetime(2023, 2, 29, 0, 0, 0, 0), Exception);
  EXPECT_EQ(datetime_text(encode_datetime(9999, 12, 31, 23, 59, 59, 999), true), "9999-12-31 23:59:59.999");
  EXPECT_EQ(datetime_text(std::nan(""), true), "");
  EXPECT_EQ(datetime_text(1e300, false), "");
  EXPECT_EQ(now_ms(1e300), 0);
  EXPECT_EQ(now_ms(std::nan("")), 0);
  {
    TFakeClock clock(86400000LL * 365 + 1234);  // 1971-01-01 00:00:01.234 UTC
    EXPECT_EQ(datetime_text(now_datetime(), true), "1971-01-01 00:00:01.234");
    EXPECT_EQ(now_ms(-1.0), clock.now_ms());
  }
  setenv("TZ", "Asia/Kolkata", 1);  // a half-hour zone
  tzset();
  EXPECT_EQ(now_ms(encode_datetime(1970, 1, 1, 5, 30, 0, 0)), 0);
  unsetenv("TZ");
  tzset();
}

TEST(Clock, ParseDateTimeText) {
  const TDateTime def = -1;
  EXPECT_EQ(datetime_text(parse_datetime_text("2024-01-02 03:04:05", def), false), "2024-01-02 03:04:05");
  EXPECT_EQ(datetime_text(parse_datetime_text("2024-01-02T03:04:05", def), false), "2024-01-02 03:04:05");
  EXPECT_EQ(datetime_text(parse_datetime_text("24-01-02 03:04:05", def), false), "2024-01-02 03:04:05");
  EXPECT_EQ(datetime_text(parse_datetime_text("99-01-02 03:04:05", def), false), "1999-01-02 03:04:05");
  EXPECT_EQ(parse_datetime_text("2024-01-02", def), def);
  EXPECT_EQ(parse_datetime_text("2024-01-02 03:04:05.5", def), def);
  EXPECT_EQ(parse_datetime_text("garbage", def), def);
  EXPECT_THROW(parse_datetime_text("2024-13-02 03:04:05", def), Exception);
}

TEST(Errors, AssertionNamesCheckUnitAndLine) {
  try {
    assertion_failed("Data_tailer is null", "ext_list", 123);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.text(), "Data_tailer is null");
    EXPECT_EQ(e.unit(), "ext_list");
    EXPECT_EQ(e.line(), 123);
    EXPECT_STREQ(e.what(), "Data_tailer is null (ext_list, line 123)");
  }
}

TEST(RtlInfo, Linux) {
  const TRTL_INFO& info = rtl_info();
  EXPECT_TRUE(info.os.is_linux);
  EXPECT_FALSE(info.os.is_windows);
  EXPECT_EQ(info.os.OS_Text, "Linux");
  EXPECT_GE(info.cpu.processor_count, 1u);
  EXPECT_TRUE(info.cpu.is_cpu_64bit);
#if defined(__x86_64__)
  EXPECT_EQ(info.cpu.CPU_TEXT, "X86_64-LE");
#endif
  EXPECT_EQ(info.utc_offset_ms, info.utc_offset_hours * 3600000);
}
