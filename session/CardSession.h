// The card session: one card on one serial port, and what every front end does with it.
//   - the link: opening the card's port (a host object named "Caddis"), closing it, opening
//     the last port again, keeping an open link through hang-ups;
//   - the window's fixed restart: Restart, a short pause, the link closed, the time the card
//     needs to go down (the pause is the front end's: the window's blocks, as its timing
//     fixes; the command line's keeps its loop running);
//   - starting an image update over the link, and Boot.
// The flows built on it (an update with its restart and the card's return, Boot and the
// download, the record of each) are in session/CardFlows.h; how they run is in
// session/Flow.h.
//
// Threads: user-interface thread only, like the host object it owns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/LinkHealth.h"
#include "platform/SerialDevice.h"
#include "session/DFUSession.h"
#include "session/HostLoop.h"
#include "session/ServiceRecord.h"

class tOrvaneHost;

// Why port Port did not open, from the error the port kept: "COM5 is in use by minicom (pid
// 812)" for a port another program has.
std::string OpenErrorReason(const tSerialError& Error, int32_t Port = 0);

enum tImageKind { ik_FPGA, ik_USBAudio };

class tCardSession {
 public:
  // A pause of the flows; false when it was interrupted (the flow then stops).
  using tPause = std::function<bool(std::chrono::milliseconds)>;
  static constexpr std::chrono::milliseconds RestartPause{10};
  static constexpr std::chrono::milliseconds DownPause{2000};
  // Time for Boot to leave the port before the link is closed.
  static constexpr std::chrono::milliseconds BootPause{100};
  static constexpr std::chrono::milliseconds IdentityTimeout{5000};
  static constexpr std::chrono::milliseconds PollPeriod{250};

  explicit tCardSession(tPause Pause);
  ~tCardSession();
  tCardSession(const tCardSession&) = delete;
  tCardSession& operator=(const tCardSession&) = delete;

  // The open link, or none.
  std::unique_ptr<tOrvaneHost> Host;
  // The port last opened, -1 before the first.
  int32_t ComPort = -1;
  // Called after the link was opened or closed.
  std::function<void()> OnLinkChange;
  // The USB serial adapter of a port, as the port list tells it now (AdapterOfPort); tests put
  // adapters of their own behind their simulated ports.
  std::function<tAdapterIdentity(int32_t Port)> AdapterOf = AdapterOfPort;
  // The open link's card as far as the system tells it apart: its device ID (0 before it
  // identified itself, or without a link) and its port's adapter.
  tCardIdentity CardIdentity() const;

  // Closes any link and opens port Port. The host object exists afterwards even when the
  // port did not open (it then accepts every call and sends nothing); false in that case,
  // with the reason in OpenError and the port's error in OpenFailure.
  bool Open(int32_t Port);
  // Like Open, but keeps no host object for a port that did not open, and switches on the
  // host's error lines once it did.
  bool OpenCard(int32_t Port, std::string& Error);
  void Close();
  // Opens the last port again when no link is open and the port is listed; false otherwise.
  bool Reopen();
  // For a front end that keeps its link open (the window, caddis monitor), on every main-loop
  // tick after the host's receive service: a port that has hung up (its device gone, or the
  // far end closed, with or without a removal notice) is closed as if its device had been
  // removed ("COMn hung up" on the message display); from then on the port is tried every
  // PollPeriod and opened again once it is listed and opens ("COMn reopened"). A port that
  // failed to open is tried again only once the device behind it has changed or it has left
  // the list meanwhile, so a port held by another program fills no log. A link the front end
  // closed or opened itself is left to it.
  enum tLinkChange { lc_None, lc_HungUp, lc_Reopened };
  tLinkChange KeepLink(std::chrono::steady_clock::time_point Now);
  bool PortListed() const;
  std::string OpenError;
  tSerialError OpenFailure;  // se_None after an open that succeeded

  // Restart, RestartPause, the link closed, then (with AwaitDown) DownPause, the time the
  // card needs to go down. False without a link or when a pause was interrupted.
  bool Restart(bool AwaitDown = true);
  // How a restart watched on the open link went (RestartSeenLeavingFlow, session/CardFlows.h).
  enum tRestartSeen {
    rs_Left,         // the card was seen to leave
    rs_NotSent,      // the card did not answer before the Restart, which was not sent
    rs_Stayed,       // the card answered every keep-alive through DownPause
    rs_Interrupted,  // a stop was requested
  };

  // Starts an update of Kind with the image at Path (empty: the image beside the tool) on
  // the open link. After a successful FPGA update RestartDue() holds until taken: the card
  // runs the new bitstream only after a restart, which the front end does from its loop
  // (never from inside the host's own message handling, which the restart ends).
  void StartUpdate(tImageKind Kind, const std::string& Path, tTivaUpdateEvent Progress,
                   tTivaUpdateEvent Finish);
  // The same with the image read already: exactly its bytes are sent.
  void StartUpdate(tImageKind Kind, const tImageFile& Image, tTivaUpdateEvent Progress,
                   tTivaUpdateEvent Finish);
  bool TakeRestartDue();

  // The link's health since the last ResetLinkHealth: the counts of every host object the
  // session has had, the open one's included, so a link reopened during an update (after
  // the restart, the boot loader, a hang-up) keeps what happened before.
  tLinkHealth LinkHealth() const;
  void ResetLinkHealth();
  // How many links the session has opened: a front end that waits for the card after an
  // update tells a link opened since from the one it had.
  uint32_t Openings() const { return fOpenings; }

  // Sends Boot: the card restarts in its USB DFU boot loader.
  void SendBoot();

 private:
  // Ends the host object, keeping its link's counts.
  void DropHost();
  // Ends the link without forgetting that KeepLink is to open it again.
  void Drop();

  tPause fPause;
  bool fRestartDue = false;
  bool fLinkLost = false;  // closed by KeepLink after a hang-up, to be opened again
  std::optional<std::chrono::steady_clock::time_point> fNextReopen;  // while fLinkLost
  std::string fFailedDevice;  // the device behind the port when opening it last failed
  tLinkHealth fClosedLinks;
  uint32_t fOpenings = 0;
};

// "index 0: serial SIM00005 at usb 1-2" lines for a choice the operator must make.
std::string BootLoaderList(const std::vector<tDFUDeviceEntry>& Entries);
