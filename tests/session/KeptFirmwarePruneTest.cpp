// The station keeps the newest few firmware images per card: which go, and that each goes
// with the files kept beside it while every other file stays.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempFolder.h"
#include "session/FirmwareBackup.h"

namespace {

TEST(KeptFirmwarePruneTest, TheNewestOfEachCardStay) {
  const std::vector<std::string> Names = {
      "card33-20261209T100000000Z-fw12.dfu",
      "card33-20261209T120000000Z-fw2.dfu",
      "card33-20261209T110000000Z-fw2.dfu",
      "card7-20261208T090000000Z-fw1.dfu",
      "card33-20261209T100000000Z-fw12.dfu.sha256",
      "notes.txt",
      "cardX-20261209T1-fw1.dfu",
      "card5-20261209T100000000Z.dfu",
  };
  const struct {
    std::size_t Keep;
    std::vector<std::string> Beyond;
  } Cases[] = {
      {3, {}},
      {2, {"card33-20261209T100000000Z-fw12.dfu"}},
      {1, {"card33-20261209T100000000Z-fw12.dfu", "card33-20261209T110000000Z-fw2.dfu"}},
      {0,
       {"card7-20261208T090000000Z-fw1.dfu", "card33-20261209T100000000Z-fw12.dfu",
        "card33-20261209T110000000Z-fw2.dfu", "card33-20261209T120000000Z-fw2.dfu"}},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(KeptFirmwareBeyond(Names, Case.Keep), Case.Beyond) << Case.Keep;
}

TEST(KeptFirmwarePruneTest, AnImageGoesWithItsHashAndCardFiles) {
  tTempFolder Folder("caddis-prune-");
  const std::vector<std::string> Files = {
      "card9-20261209T100000000Z-fw1.dfu",        "card9-20261209T100000000Z-fw1.dfu.sha256",
      "card9-20261209T100000000Z-fw1.dfu.card",   "card9-20261209T110000000Z-fw2.dfu",
      "card9-20261209T110000000Z-fw2.dfu.sha256", "card9-20261209T110000000Z-fw2.dfu.card",
      "card4-20261209T090000000Z-fw1.dfu",        "readme.txt"};
  for (const std::string& Name : Files)
    std::ofstream(Folder.File(Name)) << Name;
  EXPECT_EQ(PruneKeptFirmware(Folder.Path, 1),
            std::vector<std::string>{"card9-20261209T100000000Z-fw1.dfu"});
  for (const std::string& Name : Files)
    EXPECT_EQ(std::filesystem::exists(Folder.File(Name)),
              Name.rfind("card9-20261209T100000000Z", 0) != 0)
        << Name;
  EXPECT_TRUE(PruneKeptFirmware(Folder.Path + "/missing", 1).empty());
}

}  // namespace
