// The simulated boot loader's own DFU 1.1 behaviour, request by request, and the virtual
// bus's handling of bad packets and silent devices.
#include "sim/bootloader/VirtualDFUDevice.h"

#include <gtest/gtest.h>

#include <thread>

#include "lib/lmdfu/DFUTestSupport.h"
#include "lib/lmdfu/DFUEngine.h"
#include "platform/UsbSocket.h"

namespace {

using namespace dfu;

class VirtualDFUDevice : public testing::Test {
 protected:
  void SetUp() override {
    tVirtualDFUOptions O;
    O.TransferSize = 8;
    O.PollTimeoutMs = PollMs;
    O.ManifestTimeoutMs = 1;
    O.FlashSize = 24;
    Device = std::make_unique<tVirtualDFUDevice>(O);
  }

  // Sends a class request straight to the device's handler; returns the reply's result.
  uint8_t Request(uint8_t aRequest, bool aIn, uint16_t aValue = 0, std::vector<uint8_t> aData = {},
                  uint16_t aLength = 0) {
    tVirtualRequest R;
    R.RequestType = aIn ? ReqTypeClassIn : ReqTypeClassOut;
    R.Request = aRequest;
    R.Value = aValue;
    R.Length = aIn ? aLength : static_cast<uint16_t>(aData.size());
    R.Data = std::move(aData);
    const auto A = Device->Handle(R);
    Last.assign(A.Packet.begin() + std::min<size_t>(4, A.Packet.size()), A.Packet.end());
    return A.Packet.empty() ? 0xFF : A.Packet[0];
  }
  tDFUStatusReply Status() {
    EXPECT_EQ(Request(rq_GetStatus, true, 0, {}, 6), vr_Done);
    EXPECT_EQ(Last.size(), 6u);
    return Last.size() == 6 ? DecodeStatus(Last.data()) : tDFUStatusReply{};
  }
  void WaitPoll(const tDFUStatusReply& aReply) {
    std::this_thread::sleep_for(std::chrono::milliseconds(aReply.PollTimeoutMs + 1));
  }
  // One block through DNLOAD-SYNC, DNBUSY and back to DNLOAD-IDLE.
  void Block(uint16_t aNumber, std::vector<uint8_t> aData) {
    ASSERT_EQ(Request(rq_Dnload, false, aNumber, std::move(aData)), vr_Done);
    const auto Busy = Status();
    ASSERT_EQ(Busy.State, st_DnBusy);
    ASSERT_EQ(Busy.PollTimeoutMs, PollMs);
    WaitPoll(Busy);
    ASSERT_EQ(Status().State, st_DnloadIdle);
  }

  uint32_t PollMs = 20;
  std::unique_ptr<tVirtualDFUDevice> Device;
  std::vector<uint8_t> Last;
};

// A device whose blocks take a minute to program, so "too early" is certain.
class SlowVirtualDFUDevice : public VirtualDFUDevice {
 protected:
  SlowVirtualDFUDevice() { PollMs = 60000; }
};

TEST_F(VirtualDFUDevice, FollowsTheDownloadAndManifestationStates) {
  Block(0, {1, 2, 3, 4, 5, 6, 7, 8});
  Block(1, {9, 10});
  ASSERT_EQ(Request(rq_Dnload, false, 2), vr_Done);  // zero length: the end
  EXPECT_EQ(Device->State(), st_ManifestSync);
  const auto M = Status();
  EXPECT_EQ(M.State, st_Manifest);
  WaitPoll(M);
  EXPECT_EQ(Status().State, st_DfuIdle);  // manifestation tolerant: back to dfuIDLE
  EXPECT_EQ(Device->ReceivedImage(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // UPLOAD gives it back; the short frame ends the upload in dfuIDLE.
  ASSERT_EQ(Request(rq_Upload, true, 0, {}, 8), vr_Done);
  EXPECT_EQ(Last.size(), 8u);
  EXPECT_EQ(Device->State(), st_UploadIdle);
  ASSERT_EQ(Request(rq_Upload, true, 1, {}, 8), vr_Done);
  EXPECT_EQ(Last, (std::vector<uint8_t>{9, 10}));
  EXPECT_EQ(Device->State(), st_DfuIdle);
}

TEST_F(SlowVirtualDFUDevice, RequestsTheStateDoesNotAllowAreStalledIntoDfuError) {
  // A request while busy: the host did not honour bwPollTimeout.
  ASSERT_EQ(Request(rq_Dnload, false, 0, {1, 2}), vr_Done);
  EXPECT_EQ(Status().State, st_DnBusy);
  EXPECT_EQ(Request(rq_GetStatus, true, 0, {}, 6), vr_Stall);
  EXPECT_EQ(Device->State(), st_DfuError);
  EXPECT_EQ(Device->Status(), ds_errSTALLEDPKT);
  // In dfuERROR only GETSTATUS, GETSTATE and CLRSTATUS are served.
  EXPECT_EQ(Request(rq_Abort, false), vr_Stall);
  EXPECT_EQ(Status().State, st_DfuError);
  EXPECT_EQ(Request(rq_ClrStatus, false), vr_Done);
  EXPECT_EQ(Device->State(), st_DfuIdle);
  EXPECT_EQ(Device->Status(), ds_OK);
  // A zero-length DNLOAD in dfuIDLE, CLRSTATUS outside dfuERROR, a block larger than
  // wTransferSize, a block out of order: each stalls into dfuERROR.
  EXPECT_EQ(Request(rq_Dnload, false, 0), vr_Stall);
  Request(rq_ClrStatus, false);
  EXPECT_EQ(Request(rq_ClrStatus, false), vr_Stall);
  Request(rq_ClrStatus, false);
  EXPECT_EQ(Request(rq_Dnload, false, 0, std::vector<uint8_t>(9, 0)), vr_Stall);
  Request(rq_ClrStatus, false);
  EXPECT_EQ(Request(rq_Dnload, false, 5, {1}), vr_Stall);
  EXPECT_EQ(Device->Status(), ds_errADDRESS);
}

TEST_F(VirtualDFUDevice, ADownloadBeyondTheFlashFailsWithErrAddress) {
  Block(0, std::vector<uint8_t>(8, 1));
  Block(1, std::vector<uint8_t>(8, 2));
  Block(2, std::vector<uint8_t>(8, 3));
  ASSERT_EQ(Request(rq_Dnload, false, 3, {4}), vr_Done);
  const auto S = Status();
  EXPECT_EQ(S.State, st_DfuError);
  EXPECT_EQ(S.Status, ds_errADDRESS);
}

TEST_F(VirtualDFUDevice, AbortLeavesAnIdleDownloadWithoutValidFirmware) {
  Block(0, {1});
  EXPECT_EQ(Request(rq_Abort, false), vr_Done);
  EXPECT_EQ(Device->State(), st_DfuIdle);
  tVirtualRequest Reset;
  Reset.Op = vo_Reset;
  const auto A = Device->Handle(Reset);
  EXPECT_FALSE(A.Vanish);  // nothing valid to run: it stays in DFU mode
  EXPECT_EQ(Device->State(), st_DfuError);
  EXPECT_EQ(Device->Status(), ds_errFIRMWARE);
}

class VirtualBus : public testing::Test {
 protected:
  tTempRuntime Runtime;
};

TEST_F(VirtualBus, MalformedPacketsGetAnAnswerAndChangeNothing) {
  tVirtualDFUOptions O;
  O.Folder = Runtime.UsbFolder();
  O.Name = "card";
  tVirtualDFUDevice Device(O);
  ASSERT_TRUE(Device.Start());
  int R = 0;
  auto Client = usbsock::tPacketClient::Connect(Runtime.UsbFolder() + "/card", &R);
  ASSERT_TRUE(Client) << R;
  std::vector<uint8_t> Reply;
  const std::vector<std::vector<uint8_t>> Bad = {
      {},                                       // empty
      {1, 0x21, 1},                             // shorter than a header
      {9, 0x21, 1, 0, 0, 0, 0, 0, 0, 0},        // unknown op
      {1, 0x21, 1, 0, 0, 0, 0, 0, 4, 0, 1, 2},  // says 4 data bytes, has 2
      {1, 0xA1, 3, 0, 0, 0, 0, 0, 6, 0, 1},     // data on a device-to-host request
  };
  for (const auto& Packet : Bad) {
    if (Packet.empty()) continue;  // a zero-length packet reads as a close on the device side
    ASSERT_GT(Client->Exchange(Packet, Reply, 5000), 0);
    EXPECT_EQ(Reply[0], vr_Malformed);
  }
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // The same connection still works.
  const auto Good = EncodeRequest({vo_Control, ReqTypeClassIn, rq_GetState, 0, 0, 1, {}});
  ASSERT_EQ(Client->Exchange(Good, Reply, 5000), 5);
  EXPECT_EQ(Reply[4], st_DfuIdle);
}

TEST_F(VirtualBus, ASilentDeviceTimesOutAndAVanishedOneIsGone) {
  tVirtualDFUOptions O;
  O.Folder = Runtime.UsbFolder();
  O.Faults.SilentAtBlock = 1;
  tVirtualDFUDevice Device(O);
  ASSERT_TRUE(Device.Start());
  tUsbDevice Info;
  int Error = 0;
  auto Transport = tVirtualUsbBus::OpenPath(Device.SocketPath(), &Info, 2000, &Error);
  ASSERT_TRUE(Transport) << Error;
  tUsbInterface Interface;
  tDFUFunctional Functional;
  ASSERT_TRUE(FindDFUInterface(Info, Interface, Functional));
  tDFUEngine Engine(*Transport, Interface.Number, Functional, tDFULimits{1000, 1000, 5000});
  const std::vector<uint8_t> Payload(3000, 0x5A);
  EXPECT_EQ(Engine.Download(Payload, {}), lm_Timeout);
  EXPECT_NE(Engine.LastError().find("timed out"), std::string::npos);
  Device.Stop();
  tDFUStatusReply S;
  EXPECT_EQ(Engine.GetStatus(S), lm_DeviceGone);
  EXPECT_EQ(tVirtualUsbBus::OpenPath(Device.SocketPath(), &Info, 2000, &Error), nullptr);
  EXPECT_EQ(Error, ur_NoDevice);
}

// A transport whose ABORT always fails, for the failure after a failure.
class tAbortRefused : public tUsbTransport {
 public:
  explicit tAbortRefused(tUsbTransport& aInner) : fInner(aInner) {}
  int ControlIn(uint8_t T, uint8_t R, uint16_t V, uint16_t I, uint8_t* D, uint16_t L,
                unsigned Ms) override {
    return fInner.ControlIn(T, R, V, I, D, L, Ms);
  }
  int ControlOut(uint8_t T, uint8_t R, uint16_t V, uint16_t I, const uint8_t* D, uint16_t L,
                 unsigned Ms) override {
    return R == rq_Abort ? ur_IO : fInner.ControlOut(T, R, V, I, D, L, Ms);
  }
  int ClaimInterface(uint8_t aInterface, uint8_t aAlt) override {
    return fInner.ClaimInterface(aInterface, aAlt);
  }
  int Reset() override { return fInner.Reset(); }

 private:
  tUsbTransport& fInner;
};

TEST_F(VirtualBus, TheEngineBringsTheDeviceBackToIdleFromWhereverItWasLeft) {
  tVirtualDFUOptions O;
  O.Folder = Runtime.UsbFolder();
  O.TransferSize = 16;
  O.Firmware = std::vector<uint8_t>(100, 7);
  tVirtualDFUDevice Device(O);
  ASSERT_TRUE(Device.Start());
  tUsbDevice Info;
  int Error = 0;
  auto Transport = tVirtualUsbBus::OpenPath(Device.SocketPath(), &Info, 5000, &Error);
  ASSERT_TRUE(Transport) << Error;
  tUsbInterface Interface;
  tDFUFunctional Functional;
  ASSERT_TRUE(FindDFUInterface(Info, Interface, Functional));
  EXPECT_EQ(Functional.TransferSize, 16);
  tDFUEngine Engine(*Transport, Interface.Number, Functional);
  uint8_t Buffer[16];
  const uint8_t Block[16] = {1};
  // An upload left half way.
  ASSERT_EQ(Transport->ControlIn(ReqTypeClassIn, rq_Upload, 0, 0, Buffer, 16, 5000), 16);
  EXPECT_EQ(Device.State(), st_UploadIdle);
  ASSERT_EQ(Engine.BringToIdle(), lm_Ok) << Engine.LastError();
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // A block sent and never asked about (dfuDNLOAD-SYNC refuses ABORT: stalled, then cleared).
  ASSERT_EQ(Transport->ControlOut(ReqTypeClassOut, rq_Dnload, 0, 0, Block, 16, 5000), 16);
  EXPECT_EQ(Device.State(), st_DnloadSync);
  ASSERT_EQ(Engine.BringToIdle(), lm_Ok) << Engine.LastError();
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // A download abandoned between blocks.
  ASSERT_EQ(Transport->ControlOut(ReqTypeClassOut, rq_Dnload, 0, 0, Block, 16, 5000), 16);
  tDFUStatusReply S;
  ASSERT_EQ(Engine.GetStatus(S), lm_Ok);
  std::this_thread::sleep_for(std::chrono::milliseconds(S.PollTimeoutMs + 1));
  ASSERT_EQ(Engine.GetStatus(S), lm_Ok);
  EXPECT_EQ(S.State, st_DnloadIdle);
  ASSERT_EQ(Engine.BringToIdle(), lm_Ok) << Engine.LastError();
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // And a good download and verify after all that.
  const std::vector<uint8_t> Payload(50, 0x33);
  ASSERT_EQ(Engine.Download(Payload, {}), lm_Ok) << Engine.LastError();
  ASSERT_EQ(Engine.Verify(Payload, {}), lm_Ok) << Engine.LastError();
  // A read-back that is shorter than the image is not a pass.
  const std::vector<uint8_t> Longer(70, 0x33);
  EXPECT_EQ(Engine.Verify(Longer, {}), lm_VerifyShort);
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // A read-back that differs keeps its reason when the ABORT ending the upload fails too.
  tAbortRefused Refusing(*Transport);
  tDFUEngine RefusedAbort(Refusing, Interface.Number, Functional);
  EXPECT_EQ(RefusedAbort.Verify(std::vector<uint8_t>(50, 0x44), {}), lm_VerifyMismatch);
  EXPECT_EQ(RefusedAbort.LastError(), "read-back differs from the image at byte 0");
}

// Leaving DFU mode counts only when the device has left: a reset that is acknowledged but
// does not reach the device (a driver that resets only the pipes) is a failure that says so.
TEST_F(VirtualBus, AResetCountsOnlyWhenTheDeviceLeaves) {
  for (const bool Ignored : {false, true}) {
    tVirtualDFUOptions O;
    O.Folder = Runtime.UsbFolder();
    O.Faults.ResetIgnored = Ignored;
    tVirtualDFUDevice Device(O);
    ASSERT_TRUE(Device.Start());
    tUsbDevice Info;
    int Error = 0;
    auto Transport = tVirtualUsbBus::OpenPath(Device.SocketPath(), &Info, 5000, &Error);
    ASSERT_TRUE(Transport) << Error;
    tUsbInterface Interface;
    tDFUFunctional Functional;
    ASSERT_TRUE(FindDFUInterface(Info, Interface, Functional));
    tDFUEngine Engine(*Transport, Interface.Number, Functional);
    const tLMDFUErr Left = Engine.Leave();
    if (!Ignored) {
      EXPECT_EQ(Left, lm_Ok) << Engine.LastError();
      continue;
    }
    EXPECT_EQ(Left, lm_ResetIgnored);
    EXPECT_EQ(Device.State(), st_DfuIdle);
    EXPECT_NE(Engine.LastError().find("still answers in DFU mode (dfuIDLE)"), std::string::npos)
        << Engine.LastError();
    EXPECT_NE(Engine.LastError().find("install libusbK"), std::string::npos) << Engine.LastError();
  }
}

TEST_F(VirtualBus, ASecondDeviceCannotTakeOverALiveSocket) {
  tVirtualDFUOptions O;
  O.Folder = Runtime.UsbFolder();
  O.Name = "same";
  tVirtualDFUDevice First(O), Second(O);
  ASSERT_TRUE(First.Start());
  std::string Error;
  EXPECT_FALSE(Second.Start(&Error));
  EXPECT_NE(Error.find("in use"), std::string::npos);
  First.Stop();
  EXPECT_TRUE(Second.Start(&Error)) << Error;
}

}  // namespace
