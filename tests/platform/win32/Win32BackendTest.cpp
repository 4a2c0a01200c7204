// The Windows backend of platform/, run under Wine in CI: files by UTF-8 name, the log file
// that only grows, memory-mapped files and their lock, locale formats, the tool's folders.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "platform/LocaleFormats.h"
#include "platform/MappedFile.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "platform/win32/LocalePicture.h"
#include "support/LogFile.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder whose name is not ASCII, so every call is seen to take UTF-8 names.
class Win32BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string Name = "caddis-\xC3\xBC\xE2\x82\xAC-" +
                             std::to_string(::GetCurrentProcessId()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Folder = fs::temp_directory_path() / fs::u8path(Name);
    fs::remove_all(Folder);
    fs::create_directories(Folder);
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Folder, Ignored);
  }
  std::string Utf8(const std::string& Leaf) const {
    const auto Text = (Folder / Leaf).generic_u8string();
    return std::string(Text.begin(), Text.end());
  }
  std::string ReadAll(const std::string& Leaf) const {
    std::ifstream File(Folder / Leaf, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(File), {});
  }
  fs::path Folder;
};

std::tm Evening() {
  std::tm T{};
  T.tm_year = 2026 - 1900;
  T.tm_mon = 11;
  T.tm_mday = 6;
  T.tm_hour = 18;
  T.tm_min = 5;
  T.tm_sec = 8;
  T.tm_wday = 0;
  return T;
}

TEST_F(Win32BackendTest, LogFileOnlyGrows) {
  LogFolder = Utf8("");
  LogFolder.pop_back();  // no trailing "/"
  LogTitle = "Caddis";
  SetLogFormats("%d/%m/%Y", "%H:%M:%S");
  LogToFile("first");
  LogToFile("second");
  const std::string Log = ReadAll("Log.txt");
  EXPECT_EQ(Log.rfind("Caddis Log\r\n", 0), 0u) << Log;
  EXPECT_NE(Log.find(" first\r\n"), std::string::npos) << Log;
  EXPECT_NE(Log.find(" second\r\n"), std::string::npos) << Log;

  // Another program's log that exists already gets lines appended and no title.
  { std::ofstream(Folder / "Log.txt", std::ios::binary) << "kept\r\n"; }
  LogToFile("third");
  EXPECT_EQ(ReadAll("Log.txt").rfind("kept\r\n", 0), 0u);
  EXPECT_NE(ReadAll("Log.txt").find(" third\r\n"), std::string::npos);
  LogTitle.clear();
}

TEST_F(Win32BackendTest, CreateNewRefusesAnExistingFileAndOpenTakesUtf8Names) {
  int Error = 0;
  std::FILE* Created = tFiles::CreateNew(Utf8("new.txt"), Error);
  ASSERT_NE(Created, nullptr) << tFiles::SystemErrorText(Error);
  std::fputs("content", Created);
  std::fclose(Created);

  EXPECT_EQ(tFiles::CreateNew(Utf8("new.txt"), Error), nullptr);
  EXPECT_EQ(Error, ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadAll("new.txt"), "content");

  std::FILE* Opened = tFiles::Open(Utf8("new.txt"), "rb", Error);
  ASSERT_NE(Opened, nullptr);
  std::fclose(Opened);
  EXPECT_EQ(tFiles::Open(Utf8("missing.txt"), "rb", Error), nullptr);
  EXPECT_EQ(Error, ERROR_FILE_NOT_FOUND);
  // The system's own words, not a C library text for the same number.
  EXPECT_NE(tFiles::SystemErrorText(ERROR_SHARING_VIOLATION),
            std::strerror(ERROR_SHARING_VIOLATION));
}

TEST_F(Win32BackendTest, MappedFileWritesThroughViewsAndHoldsTheFile) {
  tMappedFile File;
  ASSERT_TRUE(File.Open(Utf8("data.bin"), tMappedFile::mf_CreateAlways, true))
      << tFiles::SystemErrorText(File.Error());
  ASSERT_TRUE(File.Extend(8192));
  char* View = static_cast<char*>(File.MapView(8192, true));
  ASSERT_NE(View, nullptr) << tFiles::SystemErrorText(File.Error());
  std::memcpy(View + 4000, "mapped", 6);
  EXPECT_TRUE(File.FlushView(View, 8192));
  tMappedFile::UnmapView(View, 8192);

  // The lock: a second stream cannot open the file, and its refused open cut nothing.
  tMappedFile Second;
  EXPECT_FALSE(Second.Open(Utf8("data.bin"), tMappedFile::mf_TruncateExisting, true));
  EXPECT_EQ(Second.Error(), ERROR_SHARING_VIOLATION);
  int Error = 0;
  EXPECT_EQ(OpenLockedStream(Utf8("data.bin"), tMappedFile::mf_OpenExisting, Error), nullptr);
  EXPECT_EQ(Error, ERROR_SHARING_VIOLATION);

  ASSERT_TRUE(File.SetSize(4006));  // every view is unmapped
  uint64_t Size = 0;
  ASSERT_TRUE(File.GetSize(Size));
  EXPECT_EQ(Size, 4006u);
  EXPECT_TRUE(File.Close());
  EXPECT_EQ(ReadAll("data.bin").substr(4000), "mapped");

  // Opened again to cut it: the lock is gone with the close.
  ASSERT_TRUE(File.Open(Utf8("data.bin"), tMappedFile::mf_TruncateExisting, true));
  ASSERT_TRUE(File.GetSize(Size));
  EXPECT_EQ(Size, 0u);
  EXPECT_TRUE(File.Close());
  EXPECT_FALSE(File.Open(Utf8("absent.bin"), tMappedFile::mf_OpenExisting, false));
  EXPECT_EQ(File.Error(), ERROR_FILE_NOT_FOUND);
}

TEST(Win32LocaleTest, PicturesFormatAsTheyDoOnWindows) {
  const std::tm T = Evening();
  const auto Format = [&](const std::string& Picture) {
    return tLocaleFormats::FormatUserTime(tLocalePicture::ToStrftime(Picture), T);
  };
  EXPECT_EQ(Format("d/M/yyyy"), "6/12/2026");
  EXPECT_EQ(Format("dd.MM.yy"), "06.12.26");
  EXPECT_EQ(Format("yyyy-MM-dd"), "2026-12-06");
  EXPECT_EQ(Format("h:mm:ss tt"), "6:05:08 PM");
  EXPECT_EQ(Format("HH:m:s"), "18:5:8");
  EXPECT_EQ(Format("H'h'mm 'o''clock' 100%"), "18h05 o'clock 100%");

  // The user's own formats (whatever Wine's prefix has) print the year and the minutes.
  const tLocaleFormats::tDateTimeFormats User = tLocaleFormats::UserDateTimeFormats();
  EXPECT_NE(tLocaleFormats::FormatUserTime(User.ShortDate, T).find("26"), std::string::npos);
  EXPECT_NE(tLocaleFormats::FormatUserTime(User.LongTime, T).find("05"), std::string::npos);
}

TEST_F(Win32BackendTest, FoldersOfTheTool) {
  // The executable's own folder, with "/" separators.
  const std::string Exe = tPaths::ExecutableFolder();
  EXPECT_EQ(Exe.find('\\'), std::string::npos);
  EXPECT_TRUE(fs::exists(fs::u8path(Exe + "/Win32BackendTest.exe"))) << Exe;

  ::_wputenv(L"CADDIS_CONFIG_DIR=");
  ::_wputenv(L"CADDIS_RUNTIME_DIR=");
  ::_wputenv(L"APPDATA=C:\\Users\\op\\AppData\\Roaming");
  ::_wputenv(L"LOCALAPPDATA=C:\\Users\\op\\AppData\\Local");
  EXPECT_EQ(tPaths::ConfigFolder(), "C:/Users/op/AppData/Roaming/Caddis");
  EXPECT_EQ(tPaths::PortFolder(), "C:/Users/op/AppData/Local/Caddis/run/ports");
  EXPECT_EQ(tPaths::StateFolder(), "C:/Users/op/AppData/Local/Caddis");

  const std::string Nested = Utf8("a/\xC3\xA9t\xC3\xA9/c");
  EXPECT_TRUE(tPaths::MakeFolders(Nested));
  EXPECT_TRUE(fs::is_directory(fs::u8path(Nested)));
  EXPECT_TRUE(tPaths::MakeFolders(Nested));  // already there
  { std::ofstream(Folder / "plain.txt") << "x"; }
  EXPECT_FALSE(tPaths::MakeFolders(Utf8("plain.txt")));

  // Folders this user made are trusted with the virtual devices; a file is no folder.
  std::string Why;
  EXPECT_TRUE(tPaths::IsPrivateFolder(Nested, Why)) << Why;
  EXPECT_FALSE(tPaths::IsPrivateFolder(Utf8("plain.txt"), Why));
  EXPECT_NE(Why.find("is not a folder"), std::string::npos) << Why;
}

TEST_F(Win32BackendTest, OpenFileIsDescribedByItsHandle) {
  { std::ofstream(Folder / "image.bin", std::ios::binary) << std::string(1000, 'x'); }
  int Error = 0;
  std::FILE* File = tFiles::Open(Utf8("image.bin"), "rb", Error);
  ASSERT_NE(File, nullptr) << Error;
  tFiles::tFileInfo Info;
  ASSERT_TRUE(tFiles::Describe(File, Info, Error)) << Error;
  EXPECT_TRUE(Info.Regular);
  EXPECT_EQ(Info.Size, 1000u);
  std::fclose(File);
  // The console or the NUL device opened like a file is no image to send.
  File = tFiles::Open("NUL", "rb", Error);
  ASSERT_NE(File, nullptr) << Error;
  ASSERT_TRUE(tFiles::Describe(File, Info, Error)) << Error;
  EXPECT_FALSE(Info.Regular);
  std::fclose(File);
}

// A port's USB identity from its device's instance, as the port list shows it on Linux too:
// vendor:product in lower-case hex, manufacturer, product, and the serial number only where
// the device has one (Windows makes up an instance part with "&" for one without).
TEST(Win32PortListTest, UsbIdentityFromTheDevicesInstance) {
  struct tCase {
    const char* Instance;
    const char* Manufacturer;
    const char* Product;
    const char* Shown;
  };
  const tCase Cases[] = {
      {"USB\\VID_0403&PID_6001\\A10KJ3XQ", "FTDI", "FT232R USB UART",
       "0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ"},
      {"USB\\VID_2341&PID_0043\\5&2A1B3C4D&0&2", "Microsoft", "", "2341:0043 Microsoft"},
      {"USB\\VID_1CBE&PID_0002&MI_00\\6&1234&0&0000", "", "Caddis", "1cbe:0002 Caddis"},
      {"usb\\vid_1cbe&pid_0002\\SIM00061", "", "", "1cbe:0002, serial SIM00061"},
      {"FTDIBUS\\VID_0403+PID_6015+DA00XYZA\\0000", "FTDI", "", "0403:6015 FTDI"},
      {"ACPI\\PNP0501\\1", "(Standard port types)", "Communications Port", ""},
      {"USB\\VID_12G4&PID_0001\\X", "", "", ""},
      {"USB\\VID_12", "", "", ""},
  };
  for (const tCase& Case : Cases)
    EXPECT_EQ(tPortCatalogue::UsbIdentityOfInstance(Case.Instance, Case.Manufacturer, Case.Product),
              Case.Shown)
        << Case.Instance;
}

// Only the Bluetooth bus's own instances count: a USB adapter whose product string mentions
// Bluetooth is still a serial port to probe.
TEST(Win32PortCatalogue, BluetoothInstances) {
  const struct {
    const char* Instance;
    bool Bluetooth;
  } Cases[] = {
      {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1A2B&0&0", true},
      {"bthenum\\{00001101-0000-1000-8000-00805f9b34fb}_vid&0001000f\\8&0", true},
      {"BTHENUM", false},
      {"USB\\VID_0A12&PID_0001\\BLUETOOTH", false},
      {"FTDIBUS\\VID_0403+PID_6001+A1\\0000", false},
      {"", false},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(tPortCatalogue::IsBluetoothInstance(Case.Instance), Case.Bluetooth) << Case.Instance;
}

}  // namespace
