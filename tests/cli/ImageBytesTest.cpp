// What the card receives over the serial link: exactly the bytes the service record and the
// start event name, however the image file changes meanwhile, and never an image that is
// recognisably of another kind.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/Outcome.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "session/ServiceRecord.h"
#include "support/Sha256.h"

#include "cli/CliRun.h"

namespace {

class ImageBytesTest : public tCliFixture {
 protected:
  std::string Write(const std::string& Name, const std::vector<uint8_t>& Bytes) {
    const std::string Path = Runtime.Folder.Path + "/" + Name;
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Bytes.data()),
               static_cast<std::streamsize>(Bytes.size()));
    return Path;
  }
  static std::vector<uint8_t> Noise(std::size_t Size, unsigned Seed) {
    std::vector<uint8_t> Bytes(Size);
    std::mt19937 Random(Seed);
    for (uint8_t& B : Bytes)
      B = static_cast<uint8_t>(Random());
    return Bytes;
  }
  static std::size_t Count(const std::string& Text, const std::string& Part) {
    std::size_t N = 0;
    for (auto At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
      ++N;
    return N;
  }
};

TEST_F(ImageBytesTest, ImagesOfAnotherKindAreRefusedBeforeAnythingIsSent) {
  std::vector<uint8_t> Firmware = Noise(3000, 1);
  dfu::AppendSuffix(Firmware, 0x1CBE, 0x00FF);
  const std::string PlainDfu = Write("plain.dfu", Firmware);
  std::vector<uint8_t> Bit = {0x00, 0x09, 0x0f, 0xf0, 0x0f, 0xf0, 0x0f,
                              0xf0, 0x0f, 0xf0, 0x00, 0x00, 0x01, 0x61};
  const std::vector<uint8_t> Body = Noise(2000, 2);
  Bit.insert(Bit.end(), Body.begin(), Body.end());
  const std::string Bitstream = Write("design.bit", Bit);
  const std::string Plain = Write("plain.bin", Noise(1500, 3));
  const std::string DemoFPGA = std::string(DEMO_IMAGE_DIR) + "/SkerryFPGA.bit";
  const std::string DemoUSBAudio = std::string(DEMO_IMAGE_DIR) + "/xmos.bin";

  struct tCase {
    const char* Command;
    std::string File;
    const char* Refusal;  // null: sent
  };
  const tCase Cases[] = {
      {"update-fpga", DEMO_DFU_PATH, "is a firmware image (it has a DFU suffix)"},
      {"update-usb-audio", DEMO_DFU_PATH, "is a firmware image (it has a DFU suffix)"},
      {"update-fpga", PlainDfu, "is a firmware image (it has a DFU suffix)"},
      {"update-usb-audio", Bitstream, "is an FPGA bitstream"},
      {"update-usb-audio", DemoFPGA, "is the made-up FPGA bitstream, not a USB-audio image"},
      {"update-fpga", DemoUSBAudio, "is the made-up USB-audio image, not an FPGA bitstream"},
      // What the tool cannot tell is sent as it is.
      {"update-fpga", Bitstream, nullptr},
      {"update-usb-audio", Plain, nullptr},
      {"update-fpga", Plain, nullptr},
      {"update-fpga", DemoFPGA, nullptr},
      {"update-usb-audio", DemoUSBAudio, nullptr},
  };
  const std::string Received = Runtime.Folder.Path + "/received";
  auto Sim = StartCard(41, {"--verbose", "--image-out", Received});
  for (const tCase& Case : Cases) {
    const std::string What = std::string(Case.Command) + " " + Case.File;
    const std::size_t Before = Count(Sim->Output(), "image received");
    const std::size_t PacketsBefore =
        Count(Sim->Output(), "rx: UpdateHostFPGA") + Count(Sim->Output(), "rx: UpdateUSBAudio");
    std::vector<std::string> Args{Case.Command, "--port", "41", "--file", Case.File};
    if (std::string(Case.Command) == "update-fpga") Args.push_back("--no-restart");
    const tRun Run = Caddis(Args, 60s);
    if (Case.Refusal) {
      EXPECT_EQ(Run.Exit, ExitImage) << What << "\n" << Run.Err;
      EXPECT_TRUE(Contains(Run.Err, Case.File + " " + Case.Refusal)) << What << "\n" << Run.Err;
      EXPECT_FALSE(Contains(Run.Out, "updated successfully")) << What;
      const std::string Output = Sim->Output();
      EXPECT_EQ(Count(Output, "rx: UpdateHostFPGA") + Count(Output, "rx: UpdateUSBAudio"),
                PacketsBefore)
          << What << ": a packet reached the card";
      continue;
    }
    ASSERT_EQ(Run.Exit, 0) << What << "\n" << Run.Err;
    ASSERT_TRUE(WaitFor([&] { return Count(Sim->Output(), "image received") > Before; })) << What;
    EXPECT_TRUE(FileText(Received) == FileText(Case.File)) << What;
  }
}

// The image is replaced by an atomic rename every 0.5 ms while it is sent: each record line
// names the bytes the card received, and so does the start event.
TEST_F(ImageBytesTest, TheRecordNamesTheBytesTheCardReceivedWhileTheFileIsSwapped) {
  const std::string One = Write("one.bin", Noise(3 * 1024 + 5, 11));
  const std::string Two = Write("two.bin", Noise(2 * 1024 + 77, 12));
  const std::string Image = Runtime.Folder.Path + "/SkerryFPGA.bit";
  std::filesystem::copy_file(One, Image);
  std::atomic<bool> Done{false};
  std::thread Swapper([&] {
    const std::string Next = Image + ".next";
    for (unsigned i = 0; !Done; ++i) {
      std::filesystem::remove(Next);
      std::filesystem::create_hard_link(i % 2 ? One : Two, Next);
      std::filesystem::rename(Next, Image);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  const int Runs = [] {
    const char* Asked = std::getenv("CADDIS_SWAP_RUNS");
    return Asked ? std::atoi(Asked) : 10;
  }();
  const std::string Received = Runtime.Folder.Path + "/received.bit";
  auto Sim = StartCard(42, {"--fpga-out", Received});
  std::vector<std::pair<std::string, std::string>> Sent;  // start event's size, card's bytes
  for (int i = 0; i < Runs; ++i) {
    const tRun Run =
        Caddis({"update-fpga", "--port", "42", "--file", Image, "--no-restart", "--json"}, 60s);
    ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
    ASSERT_TRUE(WaitFor([&] {
      std::istringstream Lines(Sim->Output());
      int Images = 0;
      for (std::string Line; std::getline(Lines, Line);)
        Images += Contains(Line, "FPGA image received");
      return Images > i;
    }));
    const auto Start = nlohmann::json::parse(Run.Out.substr(0, Run.Out.find('\n')));
    ASSERT_EQ(Start["event"], "start") << Run.Out;
    Sent.emplace_back(std::to_string(Start["image"]["size"].get<uint64_t>()), FileText(Received));
  }
  Done = true;
  Swapper.join();

  std::istringstream Record(FileText(ServiceRecordPath()));
  int Matching = 0, Lines = 0;
  for (std::string Line; std::getline(Record, Line) && Lines < Runs; ++Lines) {
    const auto Entry = nlohmann::json::parse(Line);
    const std::string& Bytes = Sent[Lines].second;
    const std::string Hash =
        tSha256::HexOf(std::span(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size()));
    const bool Same = Entry["Image"]["SHA256"] == Hash && Entry["Image"]["Size"] == Bytes.size() &&
                      Sent[Lines].first == std::to_string(Bytes.size());
    EXPECT_TRUE(Same) << "run " << Lines << ": " << Line;
    Matching += Same;
  }
  EXPECT_EQ(Lines, Runs);
  EXPECT_EQ(Matching, Runs);
  std::printf("%d of %d records named the bytes the card received\n", Matching, Runs);
}

}  // namespace
