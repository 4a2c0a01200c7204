// caddis update-fpga and update-usb-audio: an image sent to the card over the serial link in
// acknowledged packets, with progress, and an exit status that says whether the card took it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "support/DisplayMessage.h"

namespace {

constexpr double DefaultIdentityTimeout = 5.0;
// The card answers every packet at once, but may take a while over flash work; a transfer
// without any answer for this long has stalled (the host itself never gives up on one).
constexpr double DefaultAckTimeout = 10.0;
constexpr double DefaultReturnWait = 10.0;
constexpr int BarWidth = 40;
// Without a terminal, one progress line per this many percent.
constexpr int LineStep = 10;

struct tUpdateKind {
  const char* Command;
  const char* What;  // the part updated, as the update's texts name it
  bool FPGA;
};

const std::vector<tCliOption> UpdateOptions = {{"--port", true},
                                               {"--file", true},
                                               {"--timeout", true},
                                               {"--ack-timeout", true},
                                               {"--no-restart", false}};

// The host looks for its image under a fixed name in one folder. A file given by the
// operator is reached through a link of that name in a private temporary folder, so any
// file name and any path length work; the folder goes when this does.
class tImageFolder {
 public:
  tImageFolder() = default;
  ~tImageFolder() {
    if (!Folder.empty()) {
      std::error_code Ignored;
      std::filesystem::remove_all(Folder, Ignored);
      tOrvaneHost::SetImageFolder("");
    }
  }
  tImageFolder(const tImageFolder&) = delete;
  tImageFolder& operator=(const tImageFolder&) = delete;

  bool Prepare(const std::string& File, const std::string& FixedName, std::string& Error) {
    struct stat Info {};
    if (stat(File.c_str(), &Info) != 0 || access(File.c_str(), R_OK) != 0) {
      Error = "cannot read " + File + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(Info.st_mode)) {
      Error = "cannot read " + File + ": not a regular file";
      return false;
    }
    // Said here, with the operator's own file name, rather than by the updater, which only
    // sees the link made for it below.
    if (Info.st_size == 0) {
      Error = "cannot send " + File + ": the file is empty";
      return false;
    }
    if (Info.st_size > tTivaFileUpdater::MaxFileSize) {
      Error = "cannot send " + File + ": it is " + std::to_string(Info.st_size) +
              " bytes long, at most " + std::to_string(tTivaFileUpdater::MaxFileSize) + " fit";
      return false;
    }
    std::string Pattern = (std::filesystem::temp_directory_path() / "caddis-image-XXXXXX").string();
    if (!mkdtemp(Pattern.data())) {
      Error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
      return false;
    }
    Folder = Pattern;
    std::error_code Failed;
    const auto Target = std::filesystem::absolute(File, Failed);
    if (!Failed) std::filesystem::create_symlink(Target, Folder + "/" + FixedName, Failed);
    if (Failed) {
      Error = "cannot link " + File + " into " + Folder + ": " + Failed.message();
      return false;
    }
    tOrvaneHost::SetImageFolder(Folder);
    return true;
  }

 private:
  std::string Folder;
};

enum tTransferEnd { te_Accepted, te_Refused, te_Stalled, te_Interrupted };

struct tTransfer {
  bool Finished = false;
  tTivaUpdateError Code = tu_Ack;
  float Progress = 0;
  std::chrono::steady_clock::time_point LastEvent = std::chrono::steady_clock::now();
};

void ShowProgress(tStatusLine& Line, const char* What, float Progress) {
  if (Line.Terminal()) {
    Line.Show(std::string(What) + " " + ProgressBar(Progress, BarWidth));
  } else {
    const int Step = ProgressPercent(Progress) / LineStep * LineStep;
    Line.Show(std::string(What) + " update: " + std::to_string(Step) + "%");
  }
}

// Starts the update and runs the loop until the card has answered the finish packet, refused
// the image, or stopped answering.
tTransferEnd RunTransfer(tOrvaneHost& Host, tCliLoop& Loop, const tUpdateKind& Kind,
                         double AckTimeout, tTransfer& Transfer) {
  tStatusLine Line;
  tDisplayScope Display([&Line](const std::string& Text) { Line.Message(Text); });
  auto OnProgress = [&](float Progress, tTivaUpdateError) {
    Transfer.Progress = Progress;
    Transfer.LastEvent = std::chrono::steady_clock::now();
    ShowProgress(Line, Kind.What, Progress);
  };
  auto OnFinish = [&](float Progress, tTivaUpdateError AckCode) {
    Transfer.Finished = true;
    Transfer.Code = AckCode;
    Transfer.Progress = Progress;
  };
  if (Kind.FPGA)
    Host.UpdateHostFPGA(OnProgress, OnFinish);
  else
    Host.UpdateUSBAudio(OnProgress, OnFinish);
  // A missing or unusable image was refused with its reason already shown.
  if (!Host.Updating() && !Transfer.Finished) return te_Refused;

  bool Stalled = false;
  const tLoopEnd End = Loop.RunUntil(
      [&] {
        Stalled = std::chrono::steady_clock::now() - Transfer.LastEvent > Seconds(AckTimeout);
        return Transfer.Finished || Stalled;
      },
      std::chrono::hours(24 * 365));
  if (Transfer.Finished && Transfer.Code == tu_Ack) ShowProgress(Line, Kind.What, 1.0f);
  Line.Finish();
  if (End == le_Stopped && !Transfer.Finished) return te_Interrupted;
  if (Stalled && !Transfer.Finished) return te_Stalled;
  return Transfer.Code == tu_Ack ? te_Accepted : te_Refused;
}

std::string AbortReason(tTivaUpdateError Code) {
  if (Code == tu_SequenceError) return "the card acknowledged the wrong packet";
  if (Code == tu_NoAnswer) return "the card stopped answering";
  return "the card answered " + tTivaFileUpdater::ErrorName(Code) + " (code " +
         std::to_string(Code) + ")";
}

int UpdateCommand(const tUpdateKind& Kind, const tCommandArgs& Args) {
  const std::string Name = Kind.Command;
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Timeout = 0, AckTimeout = 0;
  if (!ReadPortCommand(Name, Args, UpdateOptions, "--timeout", DefaultIdentityTimeout, Parsed, Port,
                       Timeout, Exit) ||
      !ReadSeconds(Name, Parsed, "--ack-timeout", DefaultAckTimeout, AckTimeout, Exit))
    return Exit;

  std::string Error;
  auto Host = OpenCardHost(Port, Error);
  if (!Host) return Failure(Error);
  tImageFolder Image;
  if (const auto File = Parsed.Values.find("--file"); File != Parsed.Values.end()) {
    const std::string FixedName = Kind.FPGA ? Host->GetFPGAFilename() : "xmos.bin";
    if (!Image.Prepare(File->second, FixedName, Error)) return Failure(Error);
  }
  // The link must be known good before the first packet: the transfer has no retries.
  tCliLoop Loop(Host.get());
  if (!WaitForIdentity(Loop, *Host, Seconds(Timeout), Error)) return WaitFailure(Error);

  tTransfer Transfer;
  switch (RunTransfer(*Host, Loop, Kind, AckTimeout, Transfer)) {
    case te_Interrupted:
      Failure(std::string(Kind.What) + " update interrupted at " +
              std::to_string(ProgressPercent(Transfer.Progress)) + "%");
      return ExitInterrupted;
    case te_Stalled:
      return Failure(std::string(Kind.What) + " update aborted: no answer from the card for " +
                     SecondsText(AckTimeout) + " s at " +
                     std::to_string(ProgressPercent(Transfer.Progress)) + "%");
    case te_Refused:
      if (!Transfer.Finished) return Failure(std::string(Kind.What) + " update did not start");
      return Failure(std::string(Kind.What) + " update aborted at " +
                     std::to_string(ProgressPercent(Transfer.Progress)) +
                     "%: " + AbortReason(Transfer.Code));
    case te_Accepted:
      break;
  }
  std::printf("%s updated successfully\n", Kind.What);
  std::fflush(stdout);
  // The card runs the new bitstream only after a restart, which the window also does; the
  // command ends once the card is back, so the next one finds its port.
  if (Kind.FPGA && !Parsed.Has("--no-restart"))
    return RestartCard(std::move(Host), true, DefaultReturnWait);
  return ExitOk;
}

}  // namespace

int UpdateFPGACommand(const tCommandArgs& Args) {
  return UpdateCommand({"update-fpga", "FPGA", true}, Args);
}

int UpdateUSBAudioCommand(const tCommandArgs& Args) {
  return UpdateCommand({"update-usb-audio", "USB Audio", false}, Args);
}
