// What stands in the place of a file the tool appends to or reads: an ordinary file is taken,
// a FIFO, a folder or a device is refused with its path, and no opener ever waits for one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "fileupdate/TivaUpdateUnit.h"
#include "platform/Files.h"
#include "session/CardFlows.h"
#include "session/DFUSession.h"
#include "session/FirmwareBackup.h"
#include "session/ServiceRecord.h"
#include "session/ServiceRecordReader.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"
#include "support/Sha256.h"

namespace {

using namespace std::chrono_literals;

void WriteFileText(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

// What an opener made of the place: taken, or refused with its message.
struct tTry {
  bool Taken = false;
  std::string Message;
};

// Runs Open on a thread of its own and waits for it at most Limit: an opener that blocks fails
// the test instead of hanging the suite. Unblock (opening a FIFO's other end) frees it then.
std::optional<tTry> Within(std::chrono::milliseconds Limit, std::function<tTry()> Open,
                           const std::function<void()>& Unblock) {
  struct tShared {
    std::mutex Lock;
    std::condition_variable Done;
    std::optional<tTry> Result;
  };
  auto Shared = std::make_shared<tShared>();
  std::thread([Shared, Open = std::move(Open)] {
    tTry Result = Open();
    std::lock_guard<std::mutex> Hold(Shared->Lock);
    Shared->Result = std::move(Result);
    Shared->Done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> Hold(Shared->Lock);
  if (Shared->Done.wait_for(Hold, Limit, [&] { return Shared->Result.has_value(); }))
    return Shared->Result;
  Hold.unlock();
  if (Unblock) Unblock();
  return std::nullopt;
}

// Each opener is given the folder: the place it opens is Folder/image.dfu, whose SHA-256 is
// kept beside it (Folder/image.dfu.sha256), unless PlaceName says otherwise.
struct tOpener {
  const char* Name;
  bool SaysWhat;  // its message names what stands there, not only the path
  std::function<tTry(const std::string& Image)> Open;
  const char* PlaceName = "image.dfu";
};

const std::string Content =
    "{\"Start\":\"then\",\"Action\":\"update-fpga\",\"Result\":\"success\"}\n";

const tOpener Openers[] = {
    {"record append", true,
     [](const std::string& Image) {
       tTry Try;
       Try.Taken = AppendServiceRecord(Image, tServiceEntry{}, Try.Message);
       return Try;
     }},
    {"record checked before an update", true,
     [](const std::string& Image) {
       tTry Try;
       Try.Taken = ServiceRecordUsable(Image, Try.Message);
       return Try;
     }},
    {"history read", true,
     [](const std::string& Image) {
       tTry Try;
       Try.Taken = ReadHistory(Image, {}, {}, {}, Try.Message) == hr_Read;
       return Try;
     }},
    {"kept firmware read", true,
     [](const std::string& Image) {
       tTry Try;
       Try.Taken = CheckKeptFirmware(Image, Try.Message);
       return Try;
     }},
    {"kept firmware's hash read", true,
     [](const std::string& Image) {
       tTry Try;
       Try.Taken = CheckKeptFirmware(Image, Try.Message);
       return Try;
     },
     "image.dfu.sha256"},
    {"firmware image read", true,
     [](const std::string& Image) {
       tDFUImage Loaded;
       tTry Try;
       Try.Taken = Loaded.Load(Image) == tDFUImage::il_Loaded;
       Try.Message = Image + ": " + Loaded.Error();
       return Try;
     }},
    {"serial image checked", true,
     [](const std::string& Image) {
       uint64_t Size = 0;
       const tFlowOutcome Outcome = CheckReadableImage(Image, Size);
       return tTry{Outcome.Ok, Outcome.Text};
     }},
    {"serial image read", false,
     [](const std::string& Image) {
       tTry Try;
       try {
         tTivaFileUpdater Updater([](const tHostMessage&) {}, 1, Image);
         Try.Taken = true;
       } catch (const std::runtime_error& Error) {
         Try.Message = Error.what();
       }
       return Try;
     }},
    {"link-error log append", true,
     [](const std::string& Image) {
       LogFolder = std::filesystem::path(Image).parent_path().string();
       std::vector<std::string> Said;
       {
         tDisplayScope Scope([&Said](const std::string& Text) { Said.push_back(Text); });
         LogToFile("a link error");
       }
       LogFolder.clear();
       return tTry{Said.empty(), Said.empty() ? std::string() : Said[0]};
     },
     "Log.txt"},
    {"consulted file read", true,
     [](const std::string& Image) {
       std::string Text;
       tTry Try;
       Try.Taken = tFiles::ReadSmallFile(Image, 1 << 20, Text, Try.Message) == tFiles::rr_Read;
       Try.Message = Image + ": " + Try.Message;
       return Try;
     }},
};

struct tPlace {
  const char* Name;
  const char* What;  // "" for the ordinary file already there
  std::function<void(const std::string& Path)> Make;
};

void LinkTo(const char* Target, const std::string& Path) {
  std::filesystem::create_symlink(Target, Path);
}

const tPlace Places[] = {
    {"an ordinary file", "", [](const std::string&) {}},
    {"a FIFO nobody has open", "(a FIFO)",
     [](const std::string& Path) { EXPECT_EQ(mkfifo(Path.c_str(), 0600), 0); }},
    {"a folder", "(a folder)",
     [](const std::string& Path) { std::filesystem::create_directory(Path); }},
    {"/dev/null", "(a device)", [](const std::string& Path) { LinkTo("/dev/null", Path); }},
    {"/dev/zero", "(a device)", [](const std::string& Path) { LinkTo("/dev/zero", Path); }},
};

TEST(FilePlaceTest, OnlyAnOrdinaryFileIsTakenAndNothingWaits) {
  for (const tOpener& Opener : Openers) {
    for (const tPlace& Place : Places) {
      SCOPED_TRACE(std::string(Opener.Name) + " on " + Place.Name);
      tTempFolder Folder;
      const std::string Image = Folder.File("image.dfu");
      WriteFileText(Image, Content);
      std::string Hex, Error;
      uint64_t Size = 0;
      ASSERT_TRUE(Sha256OfFile(Image, Hex, Size, Error)) << Error;
      WriteFileText(Image + ".sha256", Hex + "\n");
      const std::string Given = Folder.File(Opener.PlaceName);
      const bool Ordinary = std::string(Place.What).empty();
      if (!Ordinary) {
        std::filesystem::remove(Given);
        Place.Make(Given);
      }

      // A FIFO's other end, opened only to free an opener that waits on it after all.
      auto Unblock = [Given] {
        const int Fd = ::open(Given.c_str(), O_RDWR | O_NONBLOCK);
        if (Fd >= 0) ::close(Fd);
      };
      const auto Try = Within(
          5s, [&Opener, Image] { return Opener.Open(Image); }, Unblock);
      ASSERT_TRUE(Try.has_value()) << "it waited";
      if (Ordinary) {
        EXPECT_TRUE(Try->Taken) << Try->Message;
        continue;
      }
      EXPECT_FALSE(Try->Taken);
      EXPECT_NE(Try->Message.find(Given), std::string::npos) << Try->Message;
      if (Opener.SaysWhat) {
        EXPECT_NE(Try->Message.find(std::string("not a regular file ") + Place.What),
                  std::string::npos)
            << Try->Message;
      }
    }
  }
}

}  // namespace
