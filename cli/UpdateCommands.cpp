// caddis update-fpga and update-usb-audio: an image sent to the card over the serial link in
// acknowledged packets, with progress, and an exit status that says whether the card took it.
// The update itself is the card session's flow (session/CardFlows.h).
#include "cli/Commands.h"
#include "package/ReleaseSteps.h"

namespace {

tCliResult UpdateCommand(tImageKind Kind, const char* What, const tCliContext& Context,
                         const tSerialUpdateOptions& Options) {
  tImageUpdateRequest Update;
  Update.Kind = Kind;
  Update.What = What;
  Update.Port = Options.Port;
  Update.File = Options.File;
  Update.IdentityTimeout = Seconds(Options.Timeout);
  // The card answers every packet at once, but may take a while over flash work; a packet
  // left without any answer for --ack-timeout has stalled the transfer.
  Update.AckTimeout = Seconds(Options.AckTimeout);
  Update.Restart = !Options.NoRestart;
  Update.Force = Options.Force;
  Update.Record = {"caddis", Options.Record.value_or("")};
  if (Options.Package && Options.File)
    return UsageError(Context.Command, "give --file or --package, not both");
  std::optional<tReleasePackage> Release;
  if (tCliResult Refused; !TakePackage(Options, Release, Refused)) return Refused;
  if (std::string Why; Release && !TakeReleaseImage(*Release, Update, Why))
    return Failure(fk_Image, Why);
  tCliSession Session;
  tCliReport Report;
  return RunCommandFlow(Session, ImageUpdateFlow(Session, Report, Update), Context.Command);
}

}  // namespace

tCliResult UpdateFPGACommand(const tCliContext& Context, const tSerialUpdateOptions& Options) {
  return UpdateCommand(ik_FPGA, "FPGA", Context, Options);
}

tCliResult UpdateUSBAudioCommand(const tCliContext& Context, const tSerialUpdateOptions& Options) {
  return UpdateCommand(ik_USBAudio, "USB Audio", Context, Options);
}
