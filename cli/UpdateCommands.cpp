// caddis update-fpga and update-usb-audio: an image sent to the card over the serial link in
// acknowledged packets, with progress, and an exit status that says whether the card took it.
#include <cstdio>
#include <cstring>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "session/ServiceRecord.h"
#include "support/DisplayMessage.h"

namespace {

// How long the card may take to come back after the restart that follows an FPGA update.
constexpr double DefaultReturnWait = 10.0;

struct tUpdateKind {
  const char* What;  // the part updated, as the update's texts name it
  tImageKind Kind;
};

enum tTransferEnd { te_Accepted, te_Refused, te_Stalled, te_Interrupted };

struct tTransfer {
  bool Finished = false;
  tTivaUpdateError Code = tu_Ack;
  float Progress = 0;
  tTivaUpdateEnd End = ue_Running;  // what ended it, as the updater tells
};

// The image must be a readable regular file of a size the updater sends; the reason otherwise.
bool CheckReadable(const std::string& File, uint64_t& Size, std::string& Error) {
  uint64_t Found = 0;
  if (!CheckReadableFile(File, Found, Error)) return false;
  // Said here, with the operator's own file name, rather than by the updater.
  if (Found == 0) {
    Error = "cannot send " + File + ": the file is empty";
    return false;
  }
  if (Found > static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize)) {
    Error = "cannot send " + File + ": it is " + std::to_string(Found) + " bytes long, at most " +
            std::to_string(tTivaFileUpdater::MaxFileSize) + " fit";
    return false;
  }
  Size = Found;
  return true;
}

// Starts the update and runs an event-driven loop (each answer handled as soon as it is
// stored, so the next packet leaves at once) until the card has answered the finish packet,
// refused the image, or left a packet unanswered for AckTimeout seconds (counted by the
// updater from the packet last sent, so from the card's last answer of any kind).
tTransferEnd RunTransfer(tCliSession& Session, const tUpdateKind& Kind, const std::string& Path,
                         uint64_t Size, double AckTimeout, tTransfer& Transfer) {
  tStatusLine Line;
  tTransferDisplay Display(Line, Size, "COM" + std::to_string(Session.ComPort));
  const std::string LineLabel = std::string(Kind.What) + " update";
  tDisplayScope Messages([&](const std::string& Text) { Line.Message(Text); });
  auto OnProgress = [&](float Progress, tTivaUpdateError) {
    Transfer.Progress = Progress;
    Display.Show(Kind.What, LineLabel, Progress);
  };
  auto OnFinish = [&](float Progress, tTivaUpdateError AckCode) {
    Transfer.Finished = true;
    Transfer.End = Session.Host->FileUpdateEnd();
    Transfer.Code = AckCode;
    Transfer.Progress = Progress;
  };
  Session.Host->FileAckTimeout = Seconds(AckTimeout);
  Session.StartUpdate(Kind.Kind, Path, OnProgress, OnFinish);
  // A missing or unusable image was refused with its reason already shown.
  if (!Session.Host->Updating() && !Transfer.Finished) return te_Refused;

  tCliLoop Loop(Session.Host.get(), true);
  const tLoopEnd End =
      Loop.RunUntil([&] { return Transfer.Finished; }, std::chrono::hours(24 * 365));
  if (Transfer.Finished && Transfer.Code == tu_Ack) Display.Show(Kind.What, LineLabel, 1.0f);
  Line.Finish();
  if (End == le_Stopped && !Transfer.Finished) return te_Interrupted;
  if (Transfer.End == ue_NoAnswer) return te_Stalled;
  return Transfer.Code == tu_Ack ? te_Accepted : te_Refused;
}

// A card that stopped answering or whose port hung up is gone; any other end was the card's
// refusal.
tFailKind AbortKind(const tTransfer& Transfer) {
  if (Transfer.End == ue_LinkLost) return fk_NoCard;
  if (Transfer.End == ue_WrongReply || Transfer.End == ue_DamagedReply) return fk_Refused;
  return Transfer.Code == tu_NoAnswer ? fk_NoCard : fk_Refused;
}

std::string AbortReason(const tTransfer& Transfer, int32_t Port) {
  if (Transfer.End == ue_LinkLost) return "the card's port COM" + std::to_string(Port) + " hung up";
  return FileUpdateFailure(Transfer.End, Transfer.Code);
}

// Sends the image and, after an FPGA update, restarts the card; the command's result.
tCliResult TransferImage(tCliSession& Session, const tUpdateKind& Kind,
                         const tSerialUpdateOptions& Options, const std::string& Path,
                         uint64_t Size) {
  const double AckTimeout = Options.AckTimeout;
  tTransfer Transfer;
  const std::string What = Kind.What;
  switch (RunTransfer(Session, Kind, Path, Size, AckTimeout, Transfer)) {
    case te_Interrupted: {
      const std::string Error = What + " update interrupted at " +
                                std::to_string(ProgressPercent(Transfer.Progress)) + "%";
      Failure(Error);
      return InterruptedExit(Error);
    }
    case te_Stalled:
      return Failure(fk_NoCard, What + " update aborted: no answer from the card for " +
                                    SecondsText(AckTimeout) + " s at " +
                                    std::to_string(ProgressPercent(Transfer.Progress)) + "%");
    case te_Refused:
      // The updater refused the image before the first packet, saying why.
      if (!Transfer.Finished) return Failure(fk_Image, What + " update did not start");
      return Failure(AbortKind(Transfer), What + " update aborted at " +
                                              std::to_string(ProgressPercent(Transfer.Progress)) +
                                              "%: " + AbortReason(Transfer, Options.Port));
    case te_Accepted:
      break;
  }
  Say(std::string(Kind.What) + " updated successfully");
  // The card runs the new bitstream only after a restart, which the window also does; the
  // command ends once the card is back, so the next one finds its port.
  if (Session.TakeRestartDue() && !Options.NoRestart)
    return Session.RestartCard(true, DefaultReturnWait,
                               "the FPGA runs the new bitstream only after a restart: power the "
                               "card off and on to load it",
                               fk_Verify);
  return ExitOk;
}

tCliResult UpdateCommand(const tUpdateKind& Kind, const tSerialUpdateOptions& Options) {
  // The card answers every packet at once, but may take a while over flash work; a packet
  // left without any answer for --ack-timeout has stalled the transfer.
  const double Timeout = Options.Timeout;
  tCliSession Session;
  std::string Error;
  if (!Session.OpenCard(Options.Port, Error)) return Failure(fk_Port, Error);
  const std::string Path =
      Options.File ? *Options.File
                   : DefaultImagePath(Kind.Kind == ik_FPGA ? Session.Host->GetFPGAFilename()
                                                           : std::string(USBAudioImageName));
  uint64_t Size = 0;
  tCliEvents::Start(tCliEvents::ImageObject(Path));
  if (Options.File && !CheckReadable(Path, Size, Error)) return Failure(fk_Image, Error);
  if (!Options.File) {
    std::string Ignored;
    CheckReadable(Path, Size, Ignored);  // a missing default image is the host's to explain
  }
  // The link must be known good before the first packet: the transfer has no retries.
  Session.Host->AskIdentity();
  tCliLoop Loop(Session.Host.get());
  if (!WaitForIdentity(Loop, *Session.Host, Seconds(Timeout), Error)) return WaitFailure(Error);
  tCliEvents::Card(*Session.Host, "before");

  tServiceRecorder Record("caddis", Options.Record.value_or(""));
  Record.Begin(Session, Kind.Kind == ik_FPGA ? tRecordAction::FPGA : tRecordAction::USBAudio, Path);
  return FinishRecord(Record, Session, TransferImage(Session, Kind, Options, Path, Size));
}

}  // namespace

tCliResult UpdateFPGACommand(const tCliContext&, const tSerialUpdateOptions& Options) {
  return UpdateCommand({"FPGA", ik_FPGA}, Options);
}

tCliResult UpdateUSBAudioCommand(const tCliContext&, const tSerialUpdateOptions& Options) {
  return UpdateCommand({"USB Audio", ik_USBAudio}, Options);
}
