#include "support/SerialIni.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "support/IniFile.h"

namespace {

class SerialIniTest : public testing::Test {
 protected:
  void SetUp() override {
    Folder = tFiles::MakeTempFolder("serialini-");
    ASSERT_FALSE(Folder.empty());
    Path = Folder + "/Serial.ini";
    Write("");
  }
  void TearDown() override {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }
  void Write(const std::string& Text) { std::ofstream(Path, std::ios::trunc) << Text; }

  std::string Folder;
  std::string Path;
};

TEST_F(SerialIniTest, MissingFileGivesDefaults) {
  PortEnabledMask = 0;
  PortBaudRate.fill(0);
  PortComNumber.fill(0);
  ReadSerialSettingsFrom(Path + ".missing");
  EXPECT_EQ(PortCount, 8);
  EXPECT_EQ(PortEnabledMask, 255);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(PortBaudRate[i], 115200);
    EXPECT_EQ(PortComNumber[i], -1);
  }
}

TEST_F(SerialIniTest, ReadsTheExampleFile) {
  Write(
      "[SerialPorts]\nEnabledMask=3\nBaudRate0=115200\nComPort0=4\nBaudRate1=57600\n"
      "ComPort1=5\n");
  ReadSerialSettingsFrom(Path);
  EXPECT_EQ(PortEnabledMask, 3);
  EXPECT_EQ(PortBaudRate[0], 115200);
  EXPECT_EQ(PortComNumber[0], 4);
  EXPECT_EQ(PortBaudRate[1], 57600);
  EXPECT_EQ(PortComNumber[1], 5);
  EXPECT_EQ(PortBaudRate[2], 115200);
  EXPECT_EQ(PortComNumber[2], -1);
}

TEST_F(SerialIniTest, BadNumbersAndWideValues) {
  Write(
      "; settings\r\n[serialports]\r\nBaudRate3=fast\r\nBaudRate4=9600\r\n"
      "EnabledMask=$100FF\r\nComPort2=70000\r\nComPort5=12abc\r\n");
  ReadSerialSettingsFrom(Path);
  EXPECT_EQ(PortBaudRate[3], 115200);
  EXPECT_EQ(PortBaudRate[4], 9600);
  EXPECT_EQ(PortEnabledMask, 255);    // only the low 16 bits of 0x100FF
  EXPECT_EQ(PortComNumber[2], 4464);  // 70000 is 0x11170: low 16 bits 0x1170
  EXPECT_EQ(PortComNumber[5], -1);    // not an integer
}

TEST_F(SerialIniTest, KeysOutsideTheSectionAreIgnored) {
  Write("[Other]\nComPort0=9\n[SerialPorts]\nComPort1=-2\n");
  ReadSerialSettingsFrom(Path);
  EXPECT_EQ(PortComNumber[0], -1);
  EXPECT_EQ(PortComNumber[1], -2);
}

TEST(IniFile, ParseInteger) {
  EXPECT_EQ(tIniFile::ParseInteger("42"), 42);
  EXPECT_EQ(tIniFile::ParseInteger(" -7 "), -7);
  EXPECT_EQ(tIniFile::ParseInteger("0x100FF"), 0x100FF);
  EXPECT_EQ(tIniFile::ParseInteger("$FFFFFFFF"), -1);
  EXPECT_EQ(tIniFile::ParseInteger("2147483648"), std::nullopt);
  EXPECT_EQ(tIniFile::ParseInteger("-2147483648"), INT32_MIN);
  EXPECT_EQ(tIniFile::ParseInteger(""), std::nullopt);
  EXPECT_EQ(tIniFile::ParseInteger("-"), std::nullopt);
  EXPECT_EQ(tIniFile::ParseInteger("1 2"), std::nullopt);
}

}  // namespace
