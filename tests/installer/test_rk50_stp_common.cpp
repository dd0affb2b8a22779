#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "installer/rk50_stp_common.h"
#include "support/scoped_env.h"

namespace {

using rk50::lang_text;
using rk50::lang_text_fmt;
using rk50::select_lang;

struct TMessage {
  int n;
  const char* eng;
  const char* chn;
};

const TMessage original_table[] = {
    {1, "Connected, start to downloading...", "连接成功，开始下载..."},
    {2, "%s / %s (%s)", "%s / %s (%s)"},
    {3, "Download OK! next to install...", "下载成功，开始安装..."},
    {4, "", ""},
    {5, "Abort", "中止"},
    {6, "connect server and download data.", "正在连接服务器..."},
    {7, "are you sure to abort this installtion ?", "确定要中断安装吗？"},
    {8, "Install completed!", "安装完毕！"},
    {9, "Close", "关闭"},
    {10, "", ""},
    {11, "QLYN Desktop Installer", "Qlyn客户端安装器"},
    {12, "connected ok, start to downloading...", "连接成功，开始下载..."},
    {13, "Start", "开始安装更新"},
    {14, "Destnation:", "安装目录："},
    {15, "Will install QLYN client for Windows", "安装最新版本的Qlyn客户端软件"},
    {16, "Upgrade QLYN client for Windows", "升级更新Qlyn客户端软件"},
};

std::u16string lang_table_text(int32_t n) { return rk50::lang_table().lang_str16(n); }

class LangTable : public ::testing::Test {
 protected:
  void TearDown() override { select_lang("chn"); }
};

TEST_F(LangTable, OriginalMessagesInBothLanguages) {
  rk50::TUX_STP_lang_str fresh;
  EXPECT_EQ(fresh.lang_id(), "chn");
  for (const auto& m : original_table) {
    select_lang("eng");
    EXPECT_EQ(lang_text(m.n), m.eng) << "eng_" << m.n;
    select_lang("chn");
    EXPECT_EQ(lang_text(m.n), m.chn) << "chn_" << m.n;
    EXPECT_EQ(fresh.lang_str(m.n), m.chn) << "fresh chn_" << m.n;
  }
}

TEST_F(LangTable, EveryListedMessageExistsInBothLanguages) {
  struct TListed {
    int32_t n;
    std::u16string eng, chn;
  };
#define LISTED(name, n, eng, chn) TListed{rk50::msg_##name, eng, chn},
  const TListed listed[] = {RK50_STP_MESSAGES(LISTED)};
#undef LISTED
  int32_t last = 0;
  for (const auto& m : listed) {
    select_lang("eng");
    EXPECT_EQ(lang_table_text(m.n), m.eng) << m.n;
    select_lang("chn");
    EXPECT_EQ(lang_table_text(m.n), m.chn) << m.n;
    EXPECT_FALSE(m.eng.empty()) << m.n;
    if (m.n > 16) {
      EXPECT_NE(m.eng, m.chn) << m.n;  // added messages are translated
    }
    last = std::max(last, m.n);
  }
  select_lang("eng");
  EXPECT_EQ(lang_text(rk50::msg_download_unavailable),
            "Download failed: downloading is not available in this build.");
  EXPECT_EQ(lang_text(last + 1), "");
}

TEST_F(LangTable, LanguageCodesIgnoreCaseAndUnknownCodesGiveEmptyTexts) {
  select_lang("ENG");
  EXPECT_EQ(lang_text(14), "Destnation:");
  select_lang("Chn");
  EXPECT_EQ(lang_text(14), "安装目录：");
  select_lang("deu");
  EXPECT_EQ(lang_text(14), "");
  EXPECT_EQ(lang_text_fmt(2, {'0', "12.5 MB", "0KB/s"}), "");
  select_lang("");
  EXPECT_EQ(lang_text(1), "");
  EXPECT_EQ(lang_text(-1), "");
}

TEST_F(LangTable, FormatsProgressLineWithEveryArgumentKind) {
  for (const char* lang : {"eng", "chn"}) {
    select_lang(lang);
    EXPECT_EQ(lang_text_fmt(2, {'0', "12.5 MB", "0KB/s"}), "0 / 12.5 MB (0KB/s)") << lang;
    EXPECT_EQ(lang_text_fmt(2, {std::string("3.5 MB"), u"12.5 MB", std::u16string(u"850KB/s")}),
              "3.5 MB / 12.5 MB (850KB/s)")
        << lang;
  }
  select_lang("chn");
  EXPECT_EQ(lang_text_fmt(rk50::msg_install_failed_fmt, {"磁盘已满"}), "安装失败：磁盘已满");
  // Empty format; too few arguments; arguments beyond the markers are ignored.
  EXPECT_EQ(lang_text_fmt(4, {}), "");
  EXPECT_EQ(lang_text_fmt(4, {"x"}), "");
  EXPECT_EQ(lang_text_fmt(2, {"a", "b"}), "");
  EXPECT_EQ(lang_text_fmt(2, {"a", "b", "c", "d"}), "a / b (c)");
  EXPECT_EQ(lang_text_fmt(1, {}), "连接成功，开始下载...");
  EXPECT_EQ(lang_text_fmt(1, {"x"}), "连接成功，开始下载...");
}

TEST(LangFormat, MarkersAndBadConversions) {
  EXPECT_EQ(rk50::format_lang_text(u"100%% %s", {"done"}), u"100% done");
  EXPECT_EQ(rk50::format_lang_text(u"%d", {"1"}), u"");
  EXPECT_EQ(rk50::format_lang_text(u"trailing %", {}), u"");
  EXPECT_EQ(rk50::format_lang_text(u"%s%s", {'a', 'b'}), u"ab");
}

TEST(SystemLanguage, FromLocaleVariables) {
  qlyn_test::TEnvScope env;
  env.unset("LC_ALL");
  env.unset("LC_MESSAGES");
  env.set("LANG", "zh_CN.UTF-8");
  EXPECT_EQ(rk50::system_language(), rk50::lang_id_chinese_prc);
  env.set("LANG", "en_US.UTF-8");
  EXPECT_NE(rk50::system_language(), rk50::lang_id_chinese_prc);
  env.set("LC_ALL", "zh_CN.GB2312");
  EXPECT_EQ(rk50::system_language(), rk50::lang_id_chinese_prc);
  env.set("LC_ALL", "de_DE.UTF-8");
  env.set("LANG", "zh_CN.UTF-8");
  EXPECT_NE(rk50::system_language(), rk50::lang_id_chinese_prc);
}

TEST(SystemLanguage, SelectsTheTableLanguage) {
  qlyn_test::TEnvScope env;
  env.unset("LC_ALL");
  env.unset("LC_MESSAGES");
  env.set("LANG", "zh_CN.UTF-8");
  rk50::select_system_lang();
  EXPECT_EQ(lang_text(rk50::msg_caption), "Qlyn客户端安装器");
  env.set("LANG", "en_US.UTF-8");
  rk50::select_system_lang();
  EXPECT_EQ(lang_text(rk50::msg_caption), "QLYN Desktop Installer");
  select_lang("chn");
}

}  // namespace
