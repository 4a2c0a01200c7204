#include "dashboard/DashboardPages.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace {

std::string Number(double Value, int Decimals = 0) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.*f", Decimals, Value);
  return Text;
}

std::string Cell(const std::string& Text, const char* Class = nullptr) {
  return Class ? "<td class=\"" + std::string(Class) + "\">" + HtmlEscape(Text) + "</td>"
               : "<td>" + HtmlEscape(Text) + "</td>";
}

std::string CardLink(const std::string& Card) {
  if (Card.empty()) return "-";
  return "<a href=\"/card?id=" + HtmlEscape(UrlEncode(Card)) + "\">" + HtmlEscape(Card) + "</a>";
}

std::string Versions(const std::optional<int32_t>& Firmware,
                     const std::optional<std::string>& FPGA) {
  if (!Firmware && !FPGA) return "-";
  return "fw " + (Firmware ? std::to_string(*Firmware) : std::string("?")) + ", FPGA " +
         FPGA.value_or("?");
}

// A scale's top: a round number at or above Max.
double NiceTop(double Max) {
  if (Max <= 0) return 1;
  const double Step = std::pow(10.0, std::floor(std::log10(Max)));
  for (double Factor : {1.0, 2.0, 5.0, 10.0})
    if (Step * Factor >= Max) return Step * Factor;
  return Step * 10;
}

const char* const Style = R"CSS(
body{font-family:sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1d2330;color:#fff;padding:10px 20px}
header h1{font-size:20px;margin:0 0 6px 0}
nav a{color:#cfd6e4;margin-right:16px;text-decoration:none}
nav a.here{color:#fff;font-weight:bold;border-bottom:2px solid #fff}
main{padding:16px 20px}
table{border-collapse:collapse;background:#fff;margin:8px 0 18px 0}
th,td{border:1px solid #d5d9e0;padding:4px 8px;text-align:left;font-size:14px}
th{background:#e8ebf0}
.station{display:inline-block;vertical-align:top;margin:0 16px 16px 0}
.working{background:#fff3c4}.passed{background:#cdeccd}.failed{background:#f6c7c7}
.empty{background:#eef0f3;color:#7a8291}
.stale{color:#b3261e;font-weight:bold}
svg{background:#fff;border:1px solid #d5d9e0;margin:8px 0 18px 0}
)CSS";

}  // namespace

std::string HtmlEscape(const std::string& Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (char C : Text) {
    switch (C) {
      case '&':
        Out += "&amp;";
        break;
      case '<':
        Out += "&lt;";
        break;
      case '>':
        Out += "&gt;";
        break;
      case '"':
        Out += "&quot;";
        break;
      case '\'':
        Out += "&#39;";
        break;
      default:
        Out += C;
    }
  }
  return Out;
}

std::string UrlEncode(const std::string& Text) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Text) {
    if (std::isalnum(C) || C == '-' || C == '_' || C == '.' || C == '~') {
      Out += static_cast<char>(C);
    } else {
      Out += '%';
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    }
  }
  return Out;
}

std::string DashboardPage(const std::string& Title, const std::string& Current,
                          const std::string& Body) {
  static const std::pair<const char*, const char*> Menu[] = {{"/", "The line now"},
                                                             {"/yield", "Yield and failures"},
                                                             {"/releases", "Releases in the field"},
                                                             {"/card", "One card"},
                                                             {"/link", "Link health"}};
  std::string Nav;
  for (const auto& [Path, Name] : Menu)
    Nav += std::string("<a href=\"") + Path + "\"" + (Current == Path ? " class=\"here\"" : "") +
           ">" + Name + "</a>";
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>" +
         HtmlEscape(Title) + " - Caddis line</title><style>" + Style +
         "</style></head><body><header><h1>Caddis line: " + HtmlEscape(Title) + "</h1><nav>" + Nav +
         "</nav></header><main>" + Body + "</main></body></html>\n";
}

// A chart's opening: the picture, its title, and the value axis's five grid lines labelled
// from 0 to TopValue (with Decimals digits, and Unit after each when given).
static std::string ChartFrame(const std::string& Title, int Width, int Height, int Left, int Top,
                              double PlotW, double PlotH, double TopValue, int Decimals,
                              const std::string& Unit) {
  std::string Svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(Width) +
                    "\" height=\"" + std::to_string(Height) + "\" role=\"img\"><title>" +
                    HtmlEscape(Title) + "</title><text x=\"" + std::to_string(Left) +
                    "\" y=\"18\" font-size=\"14\" font-weight=\"bold\">" + HtmlEscape(Title) +
                    "</text>";
  for (int Tick = 0; Tick <= 4; ++Tick) {
    const double Y = Top + PlotH - PlotH * Tick / 4;
    Svg += "<line x1=\"" + std::to_string(Left) + "\" x2=\"" + Number(Left + PlotW) + "\" y1=\"" +
           Number(Y, 1) + "\" y2=\"" + Number(Y, 1) + "\" stroke=\"#e3e6eb\"/><text x=\"" +
           std::to_string(Left - 6) + "\" y=\"" + Number(Y + 4, 1) +
           "\" font-size=\"11\" text-anchor=\"end\">" + Number(TopValue * Tick / 4, Decimals) +
           (Unit.empty() ? "" : " " + HtmlEscape(Unit)) + "</text>";
  }
  return Svg;
}

std::string BarChartSvg(const std::string& Title, const std::vector<tBar>& Bars,
                        const std::vector<std::string>& PartNames,
                        const std::vector<std::string>& Colours, int Width, int Height) {
  const int Left = 50, Right = 130, Top = 28, Bottom = 40;
  const double PlotW = Width - Left - Right, PlotH = Height - Top - Bottom;
  double Max = 0;
  for (const tBar& Bar : Bars) {
    double Sum = 0;
    for (double Part : Bar.Parts)
      Sum += std::max(0.0, Part);
    Max = std::max(Max, Sum);
  }
  const double TopValue = NiceTop(Max);
  std::string Svg = ChartFrame(Title, Width, Height, Left, Top, PlotW, PlotH, TopValue, 0, "");
  const double Slot = Bars.empty() ? PlotW : PlotW / Bars.size();
  const std::size_t LabelEvery = std::max<std::size_t>(1, Bars.size() / 8);
  for (std::size_t i = 0; i < Bars.size(); ++i) {
    double Y = Top + PlotH;
    const double X = Left + Slot * i + Slot * 0.1;
    for (std::size_t p = 0; p < Bars[i].Parts.size() && p < Colours.size(); ++p) {
      const double H = PlotH * std::max(0.0, Bars[i].Parts[p]) / TopValue;
      if (H <= 0) continue;
      Y -= H;
      Svg += "<rect x=\"" + Number(X, 1) + "\" y=\"" + Number(Y, 1) + "\" width=\"" +
             Number(Slot * 0.8, 1) + "\" height=\"" + Number(H, 1) + "\" fill=\"" +
             HtmlEscape(Colours[p]) + "\"><title>" + HtmlEscape(Bars[i].Label) + ": " +
             Number(Bars[i].Parts[p]) + " " +
             HtmlEscape(p < PartNames.size() ? PartNames[p] : std::string()) + "</title></rect>";
    }
    if (i % LabelEvery == 0)
      Svg += "<text x=\"" + Number(X, 1) + "\" y=\"" + Number(Top + PlotH + 16, 1) +
             "\" font-size=\"11\">" + HtmlEscape(Bars[i].Label) + "</text>";
  }
  for (std::size_t p = 0; p < PartNames.size() && p < Colours.size(); ++p) {
    const double Y = Top + 10 + 20.0 * p;
    Svg += "<rect x=\"" + Number(Left + PlotW + 16) + "\" y=\"" + Number(Y - 10, 1) +
           "\" width=\"12\" height=\"12\" fill=\"" + HtmlEscape(Colours[p]) + "\"/><text x=\"" +
           Number(Left + PlotW + 34) + "\" y=\"" + Number(Y, 1) + "\" font-size=\"12\">" +
           HtmlEscape(PartNames[p]) + "</text>";
  }
  return Svg + "</svg>";
}

std::string LineChartSvg(const std::string& Title, const std::vector<std::string>& Labels,
                         const std::vector<double>& Values, const std::string& Unit, int Width,
                         int Height) {
  const int Left = 60, Right = 20, Top = 28, Bottom = 40;
  const double PlotW = Width - Left - Right, PlotH = Height - Top - Bottom;
  double Max = 0;
  for (double Value : Values)
    if (std::isfinite(Value)) Max = std::max(Max, Value);
  const double TopValue = NiceTop(Max);
  std::string Svg = ChartFrame(Title, Width, Height, Left, Top, PlotW, PlotH, TopValue, 1, Unit);
  std::string Points;
  const std::size_t N = std::min(Labels.size(), Values.size());
  const std::size_t LabelEvery = std::max<std::size_t>(1, N / 8);
  for (std::size_t i = 0; i < N; ++i) {
    const double X = Left + (N < 2 ? PlotW / 2 : PlotW * i / (N - 1));
    const double V = std::isfinite(Values[i]) ? std::max(0.0, Values[i]) : 0;
    const double Y = Top + PlotH - PlotH * V / TopValue;
    Points += Number(X, 1) + "," + Number(Y, 1) + " ";
    Svg += "<circle cx=\"" + Number(X, 1) + "\" cy=\"" + Number(Y, 1) +
           "\" r=\"3\" fill=\"#2f6fdb\"><title>" + HtmlEscape(Labels[i]) + ": " + Number(V, 2) +
           " " + HtmlEscape(Unit) + "</title></circle>";
    if (i % LabelEvery == 0)
      Svg += "<text x=\"" + Number(X, 1) + "\" y=\"" + Number(Top + PlotH + 16, 1) +
             "\" font-size=\"11\" text-anchor=\"middle\">" + HtmlEscape(Labels[i]) + "</text>";
  }
  if (N > 1)
    Svg +=
        "<polyline fill=\"none\" stroke=\"#2f6fdb\" stroke-width=\"2\" points=\"" + Points + "\"/>";
  return Svg + "</svg>";
}

std::string LineNowBody(const std::vector<tStationBeat>& Stations) {
  if (Stations.empty())
    return "<p>No station has sent a heartbeat yet (caddis station --site ...).</p>";
  std::string Body;
  for (const tStationBeat& Station : Stations) {
    Body += "<div class=\"station\"><table><tr><th colspan=\"4\">" + HtmlEscape(Station.Station) +
            " <span" + (Station.AgeSeconds > 60 ? std::string(" class=\"stale\"") : "") +
            ">(heard " + HtmlEscape(Station.Seen) +
            " UTC)</span></th></tr>"
            "<tr><th>Port</th><th>State</th><th>Card</th><th>Step</th></tr>";
    if (Station.Ports.empty()) Body += "<tr><td colspan=\"4\">no ports</td></tr>";
    for (const tPortBeat& Port : Station.Ports) {
      // The state picks a class only from the known four, so a strange one cannot style a row.
      static const char* const Known[] = {"working", "passed", "failed", "empty"};
      const char* Class = "empty";
      for (const char* Each : Known)
        if (Port.State == Each) Class = Each;
      Body += std::string("<tr class=\"") + Class + "\">" +
              Cell("COM" + std::to_string(Port.Port)) + Cell(Port.State) + "<td>" +
              CardLink(Port.Card) + "</td>" + Cell(Port.Step) + "</tr>";
    }
    Body += "</table></div>";
  }
  return Body;
}

std::string YieldBody(const std::vector<tYieldBucket>& Hours, const std::vector<tYieldBucket>& Days,
                      const std::vector<tCount>& FailureKinds) {
  const std::vector<std::string> Names = {"passed", "failed", "interrupted"};
  const std::vector<std::string> Colours = {"#3a9d4a", "#d2453b", "#e0a526"};
  const auto Bars = [](const std::vector<tYieldBucket>& Buckets, std::size_t Length) {
    std::vector<tBar> Out;
    for (const tYieldBucket& B : Buckets)
      Out.push_back({B.Start.substr(std::min<std::size_t>(5, B.Start.size()), Length),
                     {static_cast<double>(B.Passed), static_cast<double>(B.Failed),
                      static_cast<double>(B.Interrupted)}});
    return Out;
  };
  std::string Body;
  if (Hours.empty()) return "<p>No updates recorded yet.</p>";
  Body += BarChartSvg("Updates per hour (the last 48 hours recorded, UTC)",
                      Bars(Hours, std::string::npos), Names, Colours);
  Body += BarChartSvg("Updates per day (the last 30 days recorded)", Bars(Days, 5), Names, Colours);
  int64_t Passed = 0, All = 0;
  for (const tYieldBucket& D : Days) {
    Passed += D.Passed;
    All += D.Passed + D.Failed + D.Interrupted;
  }
  Body += "<p>Yield over these days: <b>" +
          (All ? Number(100.0 * Passed / All, 1) + " %" : std::string("-")) + "</b> (" +
          std::to_string(Passed) + " of " + std::to_string(All) + " updates).</p>";
  Body +=
      "<h2>Failures by kind (the last 7 days recorded)</h2><table><tr><th>Failure</th>"
      "<th>Count</th></tr>";
  for (const tCount& Kind : FailureKinds)
    Body += "<tr>" + Cell(Kind.Name) + Cell(std::to_string(Kind.Count)) + "</tr>";
  if (FailureKinds.empty()) Body += "<tr><td colspan=\"2\">none</td></tr>";
  return Body + "</table>";
}

std::string ReleasesBody(const std::vector<tRelease>& Releases) {
  std::string Body =
      "<p>Each card counted once per action, by its newest successful update.</p><table><tr>"
      "<th>Action</th><th>Firmware</th><th>FPGA</th><th>Image</th><th>SHA-256</th>"
      "<th>Cards</th><th>Newest (UTC)</th></tr>";
  for (const tRelease& R : Releases)
    Body += "<tr>" + Cell(R.Action) + Cell(R.Firmware) + Cell(R.FPGA) + Cell(R.ImageFile) +
            Cell(R.ImageHash.substr(0, 12)) + Cell(std::to_string(R.Cards)) + Cell(R.Newest) +
            "</tr>";
  if (Releases.empty()) Body += "<tr><td colspan=\"7\">no successful update yet</td></tr>";
  return Body + "</table>";
}

std::string CardBody(const std::string& Card, const std::vector<tSiteLine>& Lines) {
  std::string Body =
      "<form method=\"get\" action=\"/card\"><label>Card identity (device ID, adapter, serial): "
      "<input name=\"id\" size=\"40\" value=\"" +
      HtmlEscape(Card) + "\"></label> <button type=\"submit\">Show</button></form>";
  if (Card.empty()) return Body;
  Body += "<h2>" + HtmlEscape(Card) + "</h2>";
  if (Lines.empty()) return Body + "<p>No updates of this card are recorded.</p>";
  Body +=
      "<table><tr><th>Start (UTC)</th><th>Station</th><th>Port</th><th>Action</th>"
      "<th>Before</th><th>After</th><th>Image</th><th>Result</th></tr>";
  for (const tSiteLine& L : Lines) {
    const char* Class = L.Result == "success" ? "passed" : "failed";
    Body += std::string("<tr class=\"") + Class + "\">" + Cell(L.Started) + Cell(L.Station) +
            Cell(L.Port ? "COM" + std::to_string(*L.Port) : "-") + Cell(L.Action) +
            Cell(Versions(L.FirmwareBefore, L.FPGABefore)) +
            Cell(Versions(L.FirmwareAfter, L.FPGAAfter)) + Cell(L.ImageFile) +
            Cell(L.Failure.empty() ? L.Result : L.Result + ": " + L.Failure) + "</tr>";
  }
  return Body + "</table>";
}

std::string LinkHealthBody(const std::vector<tLinkDay>& Days) {
  if (Days.empty()) return "<p>No updates recorded yet.</p>";
  std::vector<std::string> Labels;
  std::vector<double> Mean, Damaged;
  for (const tLinkDay& D : Days) {
    Labels.push_back(D.Day.substr(5));
    Mean.push_back(D.MeanRoundTripMs);
    Damaged.push_back(D.Updates ? static_cast<double>(D.Damaged) / D.Updates : 0);
  }
  std::string Body = LineChartSvg("Mean round trip per day", Labels, Mean, "ms") +
                     LineChartSvg("Damaged frames per update, per day", Labels, Damaged, "");
  Body +=
      "<table><tr><th>Day</th><th>Updates</th><th>Mean round trip (ms)</th>"
      "<th>Longest round trip (ms)</th><th>Damaged frames</th><th>Keep-alives unanswered</th>"
      "</tr>";
  for (const tLinkDay& D : Days)
    Body += "<tr>" + Cell(D.Day) + Cell(std::to_string(D.Updates)) +
            Cell(Number(D.MeanRoundTripMs, 2)) + Cell(Number(D.MaxRoundTripMs, 2)) +
            Cell(std::to_string(D.Damaged)) + Cell(std::to_string(D.Unanswered)) + "</tr>";
  return Body + "</table>";
}

std::string ErrorBody(const std::string& Why) {
  return "<p class=\"stale\">The site database could not answer: " + HtmlEscape(Why) + "</p>";
}
