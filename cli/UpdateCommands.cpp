// caddis update-fpga and update-usb-audio: an image sent to the card over the serial link in
// acknowledged packets, with progress, and an exit status that says whether the card took it.
// The update itself is the card session's flow (session/CardFlows.h).
#include "cli/Commands.h"

namespace {

int UpdateCommand(tImageKind Kind, const char* What, const tCliRequest& Request) {
  tImageUpdateRequest Update;
  Update.Kind = Kind;
  Update.What = What;
  Update.Port = Request.PortNumber;
  if (Request.Has("--file")) Update.File = Request.File;
  Update.IdentityTimeout = Seconds(Request.SecondsOf("--timeout"));
  // The card answers every packet at once, but may take a while over flash work; a packet
  // left without any answer for --ack-timeout has stalled the transfer.
  Update.AckTimeout = Seconds(Request.SecondsOf("--ack-timeout"));
  Update.Restart = !Request.NoRestart;
  Update.Record = {"caddis", Request.Record};
  tCliSession Session;
  tCliReport Report;
  return RunCommandFlow(Session, ImageUpdateFlow(Session, Report, Update), Request.Command);
}

}  // namespace

int UpdateFPGACommand(const tCliRequest& Request) {
  return UpdateCommand(ik_FPGA, "FPGA", Request);
}

int UpdateUSBAudioCommand(const tCliRequest& Request) {
  return UpdateCommand(ik_USBAudio, "USB Audio", Request);
}
