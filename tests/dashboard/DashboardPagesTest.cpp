// The dashboard's pages as texts: escaping, the charts' geometry, each page with texts that
// try to be HTML, and the listen address.
#include <gtest/gtest.h>

#include <limits>
#include <regex>

#include "dashboard/Dashboard.h"
#include "dashboard/DashboardPages.h"

namespace {

const std::string Hostile = "<script>alert('x')</script>\"><img src=x onerror=alert(1)>&amp;";

TEST(DashboardText, EscapesEveryCharacterThatMeansSomethingInHtml) {
  struct tCase {
    std::string Text, Escaped;
  } Cases[] = {
      {"", ""},
      {"plain 0104052026", "plain 0104052026"},
      {"<b>", "&lt;b&gt;"},
      {"a & b", "a &amp; b"},
      {"&amp;", "&amp;amp;"},
      {"\"quoted\" 'single'", "&quot;quoted&quot; &#39;single&#39;"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 passes as it is
  };
  for (const tCase& Case : Cases)
    EXPECT_EQ(HtmlEscape(Case.Text), Case.Escaped) << Case.Text;
  EXPECT_EQ(UrlEncode("21 0403:6001 A1/&?=#"), "21%200403%3A6001%20A1%2F%26%3F%3D%23");
}

TEST(DashboardText, ListenAddresses) {
  struct tCase {
    const char* Text;
    bool Ok;
    const char* Host;
    int Port;
  } Cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"[::1]:80", true, "::1", 80},
      {"0.0.0.0:65535", true, "0.0.0.0", 65535},
      {"localhost:1", true, "localhost", 1},
      {"127.0.0.1", false, "", 0},
      {":8080", false, "", 0},
      {"127.0.0.1:0", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:80x", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1:80", false, "", 0},
      {"127.0.0.1:", false, "", 0},
  };
  for (const tCase& Case : Cases) {
    std::string Host, Error;
    int Port = 0;
    ASSERT_EQ(ParseListen(Case.Text, Host, Port, Error), Case.Ok) << Case.Text;
    if (!Case.Ok) {
      EXPECT_NE(Error.find(Case.Text), std::string::npos);
      continue;
    }
    EXPECT_EQ(Host, Case.Host);
    EXPECT_EQ(Port, Case.Port);
  }
}

TEST(DashboardPages, HostileTextsStayTextOnEveryPage) {
  tSiteLine Line;
  Line.Station = Hostile;
  Line.Started = "2026-12-08 10:39:07";
  Line.Action = Hostile;
  Line.Result = "failed";
  Line.Failure = Hostile;
  Line.ImageFile = Hostile;
  Line.FPGAAfter = Hostile;
  const std::vector<std::string> Pages = {
      DashboardPage(Hostile, "/", ""),
      LineNowBody({{Hostile, Hostile, 5, {{3, Hostile, Hostile, Hostile}}}}),
      YieldBody({{Hostile, 1, 2, 3}}, {{Hostile, 1, 2, 3}}, {{Hostile, 4}}),
      ReleasesBody({{Hostile, Hostile, Hostile, Hostile, Hostile, 3, Hostile}}),
      CardBody(Hostile, {Line}),
      LinkHealthBody({{Hostile, 1.5, 9, 2, 1, 4}}),
      ErrorBody(Hostile),
  };
  for (const std::string& Page : Pages) {
    EXPECT_EQ(Page.find("<script"), std::string::npos) << Page;
    EXPECT_EQ(Page.find("<img"), std::string::npos) << Page;
    EXPECT_EQ(Page.find("\"><img"), std::string::npos) << "an attribute was closed early: " << Page;
    EXPECT_NE(Page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos)
        << Page;
  }
  // A state the heartbeat made up picks no class of its own.
  const std::string Odd = LineNowBody({{"s", "", 0, {{1, "passed\" style=\"x", "", ""}}}});
  EXPECT_NE(Odd.find("<tr class=\"empty\">"), std::string::npos) << Odd;
  EXPECT_EQ(Odd.find("style=\"x"), std::string::npos) << Odd;
}

TEST(DashboardPages, NothingOnAnyPageCanChangeAnything) {
  const std::string Page = DashboardPage("One card", "/card", CardBody("21", {}));
  // The one form asks by GET, for the card page.
  const std::regex Form("<form[^>]*>");
  for (auto It = std::sregex_iterator(Page.begin(), Page.end(), Form); It != std::sregex_iterator();
       ++It) {
    EXPECT_NE(It->str().find("method=\"get\""), std::string::npos) << It->str();
    EXPECT_NE(It->str().find("action=\"/card\""), std::string::npos) << It->str();
  }
  EXPECT_EQ(Page.find("post"), std::string::npos);
  EXPECT_NE(Page.find("class=\"here\">One card"), std::string::npos) << "the menu marks the page";
}

// The heights of a chart's rectangles, in the order drawn.
std::vector<double> Heights(const std::string& Svg) {
  std::vector<double> Found;
  const std::regex Rect("<rect [^>]*height=\"([0-9.]+)\" fill=\"#3a9d4a\"><title>");
  for (auto It = std::sregex_iterator(Svg.begin(), Svg.end(), Rect); It != std::sregex_iterator();
       ++It)
    Found.push_back(std::stod((*It)[1]));
  return Found;
}

TEST(DashboardCharts, BarsAreToScaleAndEmptyChartsStillDraw) {
  const std::string Svg = BarChartSvg("t", {{"a", {10, 0}}, {"b", {5, 5}}, {"c", {0, 0}}},
                                      {"passed", "failed"}, {"#3a9d4a", "#d2453b"}, 900, 240);
  const auto H = Heights(Svg);
  ASSERT_EQ(H.size(), 2u) << "a zero part draws nothing";
  EXPECT_DOUBLE_EQ(H[0], 240 - 28 - 40) << "the tallest bar reaches the scale's top (10)";
  EXPECT_NEAR(H[1], H[0] / 2, 0.1);
  EXPECT_NE(Svg.find(">10</text>"), std::string::npos) << "the scale's top is labelled";
  // A scale's top is a round number above the largest bar.
  const auto Top = [](double Value) {
    const std::string Chart = BarChartSvg("t", {{"a", {Value}}}, {"p"}, {"#3a9d4a"});
    std::string Last;
    const std::regex Label(">([0-9]+)</text>");
    for (auto It = std::sregex_iterator(Chart.begin(), Chart.end(), Label);
         It != std::sregex_iterator(); ++It)
      Last = (*It)[1];
    return Last;
  };
  EXPECT_EQ(Top(7), "10");
  EXPECT_EQ(Top(130), "200");
  EXPECT_EQ(Top(0), "1");
  EXPECT_EQ(Top(5000), "5000");
  for (const std::string& Empty :
       {BarChartSvg("t", {}, {}, {}), LineChartSvg("t", {}, {}, "ms"),
        LineChartSvg("t", {"a"}, {std::numeric_limits<double>::quiet_NaN()}, "ms")}) {
    EXPECT_EQ(Empty.rfind("<svg", 0), 0u);
    EXPECT_NE(Empty.find("</svg>"), std::string::npos);
    EXPECT_EQ(Empty.find("nan"), std::string::npos) << Empty;
  }
}

}  // namespace
