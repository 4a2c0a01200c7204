#include "support/SerialIni.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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
  EXPECT_EQ(ReadSerialSettingsFrom(Path + ".missing"), "");  // a missing file is no problem
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

TEST_F(SerialIniTest, OnlyASmallOrdinaryFileIsRead) {
  // Each stands where Serial.ini is looked for; none may hang the start-up or fill memory.
  // Every one is refused by name, and the table keeps its defaults.
  struct tCase {
    const char* What;
    std::function<void()> Make;
  };
  const std::vector<tCase> Cases = {
      {"a folder", [&] { std::filesystem::create_directory(Path); }},
      {"a file too large",
       [&] { Write("[SerialPorts]\nComPort0=4\n" + std::string(tIniFile::MaxFileSize, ';')); }},
#ifndef _WIN32
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(Path.c_str(), 0600), 0); }},
      {"a link to an endless device", [&] { std::filesystem::create_symlink("/dev/zero", Path); }},
#endif
  };
  for (const tCase& Case : Cases) {
    std::filesystem::remove_all(Path);
    Case.Make();
    PortComNumber.fill(7);
    const std::string Problem = ReadSerialSettingsFrom(Path);
    EXPECT_EQ(Problem.rfind(Path + " was not read: ", 0), 0u) << Case.What << ": " << Problem;
    EXPECT_EQ(PortComNumber[0], -1) << Case.What;
  }
  std::filesystem::remove_all(Path);
  Write("[SerialPorts]\nComPort0=4\n");
  EXPECT_EQ(ReadSerialSettingsFrom(Path), "");
  EXPECT_EQ(PortComNumber[0], 4);
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
