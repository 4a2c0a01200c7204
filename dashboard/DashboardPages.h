// The dashboard's pages as HTML texts, made from what the site database answered: plain
// functions, no server and no database, so each page can be checked alone. Every text from
// the database goes through HtmlEscape; charts are SVG drawn here; no page has a script, and
// no page has a form that changes anything (the one form asks for a card, by GET).
#pragma once

#include <string>
#include <vector>

#include "site/SiteQueries.h"

// Text made safe for HTML content and quoted attribute values: & < > " ' escaped.
std::string HtmlEscape(const std::string& Text);
// Text made safe as one query value in a link ("?id=" + UrlEncode(...)).
std::string UrlEncode(const std::string& Text);

// A whole page: the heading, the menu of pages (Current marked), Body as it is.
std::string DashboardPage(const std::string& Title, const std::string& Current,
                          const std::string& Body);

// One bar of a stacked bar chart: its label and its parts (in the chart's colours' order).
struct tBar {
  std::string Label;
  std::vector<double> Parts;
};
// A stacked bar chart as inline SVG, Width x Height pixels, one colour per part and a legend.
std::string BarChartSvg(const std::string& Title, const std::vector<tBar>& Bars,
                        const std::vector<std::string>& PartNames,
                        const std::vector<std::string>& Colours, int Width = 900, int Height = 240);
// A line chart of one series as inline SVG.
std::string LineChartSvg(const std::string& Title, const std::vector<std::string>& Labels,
                         const std::vector<double>& Values, const std::string& Unit,
                         int Width = 900, int Height = 220);

// The pages' bodies.
std::string LineNowBody(const std::vector<tStationBeat>& Stations);
std::string YieldBody(const std::vector<tYieldBucket>& Hours, const std::vector<tYieldBucket>& Days,
                      const std::vector<tCount>& FailureKinds);
std::string ReleasesBody(const std::vector<tRelease>& Releases);
// One card's history; Card empty: only the form asking for one.
std::string CardBody(const std::string& Card, const std::vector<tSiteLine>& Lines);
std::string LinkHealthBody(const std::vector<tLinkDay>& Days);
// A page that could not be made: the reason, escaped.
std::string ErrorBody(const std::string& Why);
