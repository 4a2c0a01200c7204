// The dashboard in a real browser: headless Chromium loads every page
// from a dashboard served in this test against a real PostgreSQL filled through the shipper
// with record lines and heartbeats whose texts try to be HTML, quotes and SQL. Each must show
// as text. The dashboard connects as the read-only role; a role that may write is refused.
#include <httplib.h>

#include <thread>

#include "dashboard/Dashboard.h"
#include "dashboard/DashboardPages.h"
#include "site/SiteFixture.h"
#include "site/SiteQueries.h"
#include "site/SiteShipper.h"

namespace {

const std::string Hostile =
    "<script>alert('x')</script><b>bold</b>\"'; DROP TABLE service_lines; --";
// How Chromium writes Hostile back as the text of an element.
const std::string HostileAsText =
    "&lt;script&gt;alert('x')&lt;/script&gt;&lt;b&gt;bold&lt;/b&gt;\"'; DROP TABLE service_lines; "
    "--";

class DashboardBrowser : public tSiteServerTest {
 protected:
  // Three days of a line of four stations, every twenty minutes a card on each, with
  // failures now and then; one station, one card and one failure named with Hostile.
  void Fill() {
    std::string Error;
    for (int s = 0; s < 4; ++s) {
      const std::string Station = s == 3 ? Hostile : "station-" + std::to_string(s + 1);
      const std::string Record = Own.File("record-" + std::to_string(s) + ".jsonl");
      for (int m = 0; m < 3 * 24 * 60; m += 20) {
        const int n = m / 20 + s * 7;
        const bool Failed = n % 9 == 4 || (m > 2 * 24 * 60 && n % 5 == 0);
        const uint8_t Device = static_cast<uint8_t>(10 + n % 200);
        tServiceEntry Entry =
            SiteEntry(m + s * 3, 1 + n % 4, Device, 3, m < 36 * 60 ? 4 : 5,
                      m < 36 * 60 ? "0105052026" : "0106052026", Failed ? sr_Failed : sr_Succeeded,
                      n % 27 == 4 ? Hostile
                      : n % 2     ? "the card stopped answering"
                                  : "the card answered Checksum error (code 3)");
        Entry.Health.RoundTrips = 100;
        Entry.Health.RoundTripSumUs = 100 * (900 + (m / 60) * 12 + n % 50);
        Entry.Health.RoundTripMaxUs = 4000 + n % 900;
        Entry.Health.FramesDamagedChecksum = n % 13 == 0 ? 2 : 0;
        AppendEntry(Record, Entry);
      }
      tSiteShipper Shipper(Record, Station);
      const tShipResult Shipped = Shipper.Ship(*Db);
      ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
      std::vector<tPortBeat> Ports;
      static const char* const States[] = {"working", "passed", "failed", "empty"};
      for (int p = 1; p <= 4; ++p) {
        const char* State = States[(p + s) % 4];
        const bool Empty = std::string(State) == "empty";
        Ports.push_back(
            {p, State,
             Empty ? "" : std::to_string(20 + p + s) + " 0403:6001 A" + std::to_string(20 + p + s),
             Empty                             ? ""
             : std::string(State) == "working" ? "update-fpga 2/3"
             : s == 3                          ? Hostile
                                               : std::string(State)});
      }
      ASSERT_TRUE(SendHeartbeat(*Db, Station, Ports, Error)) << Error;
    }
    // One card named with hostile text, so the card page has it in its address and heading.
    tServiceEntry Odd = SiteEntry(5, 2, 99, 3, 4, "0105052026", sr_Failed, Hostile);
    Odd.Adapter.Serial = Hostile;
    AppendEntry(Own.File("odd.jsonl"), Odd);
    tSiteShipper Shipper(Own.File("odd.jsonl"), "station-1");
    ASSERT_TRUE(Shipper.Ship(*Db).Ok);
  }

  // Chromium's DOM of Url after loading; its own files go into the test's folder. Reading the
  // DOM back and drawing the screenshot need the browser's own scripting (the pages' policy
  // still forbids any of theirs). Screenshot: a PNG of the page there as well.
  std::string Dom(const std::string& Url, const std::string& Screenshot = {}) {
    const std::string Home = Own.File("chromium");
    std::filesystem::create_directories(Home);
    const std::string Flags =
        " --headless --no-sandbox --disable-gpu --no-first-run "
        "--disable-extensions --window-size=1280,900 --hide-scrollbars "
        "--user-data-dir=" +
        Home + " ";
    const std::string Env =
        "HOME=" + Home + " XDG_CONFIG_HOME=" + Home + " XDG_CACHE_HOME=" + Home + " ";
    const std::string Out = Own.File("dom.html");
    const tProgramRun Run = RunProgram(
        {"/bin/sh", "-c",
         Env + CHROMIUM_PATH + Flags + "--dump-dom '" + Url + "' >" + Out + " 2>" + Out + ".err"},
        Own.File("sh.txt"));
    if (!Screenshot.empty())
      RunProgram({"/bin/sh", "-c",
                  "cd " + Home + " && " + Env + CHROMIUM_PATH + Flags +
                      "--screenshot=" + Screenshot + " '" + Url + "' >/dev/null 2>&1"},
                 Own.File("sh.txt"));
    const std::string Text = ReadAll(Out);
    if (!Text.empty()) return Text;
    return "(no page; exit " + std::to_string(Run.Exit) + ": " + Run.Output +
           "; Chromium said:)\n" + ReadAll(Out + ".err");
  }

  static std::string ReadAll(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }
};

TEST_F(DashboardBrowser, EveryPageLoadsAndHostileTextsShowAsText) {
  Fill();
  if (HasFatalFailure()) return;

  // A role that may write is refused; the reader is taken.
  std::string Error;
  tDashboardSource Writer(Dsn());
  EXPECT_FALSE(Writer.Open(Error));
  EXPECT_NE(Error.find("caddis_reader"), std::string::npos) << Error;
  tDashboardSource Source(Server->Dsn(Database, "caddis_reader"));
  ASSERT_TRUE(Source.Open(Error)) << Error;

  httplib::Server Http;
  MountDashboard(Http, Source);
  const int Port = Http.bind_to_any_port("127.0.0.1");
  ASSERT_GT(Port, 0);
  std::thread Serving([&] { Http.listen_after_bind(); });
  struct tStop {
    httplib::Server& Http;
    std::thread& Serving;
    ~tStop() {
      Http.stop();
      Serving.join();
    }
  } Stop{Http, Serving};
  // Until its loop runs (the socket takes connections already; this keeps stop() in order).
  while (!Http.is_running())
    std::this_thread::yield();
  const std::string Base = "http://127.0.0.1:" + std::to_string(Port);

  const std::string CardId = "99 0403:6001 " + Hostile;
  struct tPage {
    std::string Path;
    std::vector<std::string> Shows;  // texts the page must show
    bool ShowsHostile;
  } Pages[] = {
      {"/", {"station-1", "COM4", "update-fpga 2/3", "working", "passed", "failed"}, true},
      {"/yield",
       {"Updates per hour", "Updates per day", "the card stopped answering", "<svg"},
       true},
      {"/releases", {"0105052026", "0106052026", "update-fpga"}, false},
      {"/card?id=" + UrlEncode(CardId), {"99 0403:6001 ", "failed: "}, true},
      {"/card?id=12%200403%3A6001%20A12", {"12 0403:6001 A12"}, false},
      {"/link", {"Mean round trip per day", "<polyline"}, false},
  };
  for (const tPage& Page : Pages) {
    const std::string Screenshot = Page.Path == "/yield" ? Own.File("dashboard.png") : "";
    const std::string Html = Dom(Base + Page.Path, Screenshot);
    ASSERT_NE(Html.find("Caddis line"), std::string::npos)
        << Page.Path << " did not load (" << Html.size() << " bytes):\n"
        << Html;
    for (const std::string& Text : Page.Shows)
      EXPECT_NE(Html.find(Text), std::string::npos) << Page.Path << " lacks " << Text;
    EXPECT_EQ(Html.find("<script"), std::string::npos) << Page.Path << " has a script element";
    EXPECT_EQ(Html.find("<b>bold"), std::string::npos) << Page.Path << " took markup from data";
    if (Page.ShowsHostile) {
      EXPECT_NE(Html.find(HostileAsText), std::string::npos) << Page.Path << ":\n" << Html;
    }
  }
  // Every page forbids scripts and anything loaded from elsewhere, and only GET is served.
  httplib::Client Client("127.0.0.1", Port);
  for (const char* Path : {"/", "/yield", "/nosuch"}) {
    const auto Got = Client.Get(Path);
    ASSERT_TRUE(Got) << Path;
    EXPECT_EQ(Got->status, std::string(Path) == "/nosuch" ? 404 : 200);
    EXPECT_EQ(Got->get_header_value("Content-Security-Policy").rfind("default-src 'none';", 0), 0u);
    EXPECT_EQ(Got->get_header_value("Content-Security-Policy").find("script"), std::string::npos);
  }
  const auto Posted = Client.Post("/", "x=1", "application/x-www-form-urlencoded");
  ASSERT_TRUE(Posted);
  EXPECT_NE(Posted->status, 200);

  // The tables survived the SQL in the texts.
  EXPECT_GT(Number("SELECT count(*) FROM service_lines"), 800);

  // The yield page's picture: a real PNG; kept where the build asks for it (the README's).
  std::ifstream Png(Own.File("dashboard.png"), std::ios::binary);
  char Signature[8] = {};
  Png.read(Signature, 8);
  EXPECT_EQ(std::string(Signature + 1, 3), "PNG");
  if (const auto Keep = tEnvironment::Get("CADDIS_DASHBOARD_SCREENSHOT"); Keep && !Keep->empty())
    std::filesystem::copy_file(Own.File("dashboard.png"), *Keep,
                               std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
