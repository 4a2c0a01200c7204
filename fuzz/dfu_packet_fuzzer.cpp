// What arrives from the virtual USB bus and from device descriptors is untrusted: the
// request decoder, the simulated boot loader's handling of any decoded request, the
// configuration parser and the functional-descriptor lookup must stay inside their input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/lmdfu/DFUEngine.h"
#include "lib/lmdfu/VirtualUsb.h"
#include "sim/bootloader/VirtualDFUDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::vector<uint8_t> Input(aData, aData + aSize);
  // As a configuration descriptor.
  dfu::tUsbDevice Device;
  Device.Interfaces = dfu::ParseConfiguration(Input.data(), Input.size());
  dfu::tUsbInterface Interface;
  dfu::tDFUFunctional Functional;
  dfu::FindDFUInterface(Device, Interface, Functional);
  // As a sequence of request packets, each prefixed by its length byte, to one device.
  static dfu::tVirtualDFUDevice Card([] {
    dfu::tVirtualDFUOptions O;
    O.TransferSize = 64;
    O.FlashSize = 512;
    O.PollTimeoutMs = 0;
    O.ManifestTimeoutMs = 0;
    return O;
  }());
  size_t Pos = 0;
  while (Pos < Input.size()) {
    const size_t Len = Input[Pos++];
    const size_t Take = Len < Input.size() - Pos ? Len : Input.size() - Pos;
    dfu::tVirtualRequest Request;
    if (dfu::DecodeRequest(std::span<const uint8_t>(Input.data() + Pos, Take), Request)) {
      const auto Answer = Card.Handle(Request);
      if (Answer.Reply && Answer.Packet.size() < dfu::VirtualReplyHeader) __builtin_trap();
      if (Answer.Reply && Request.DeviceToHost() &&
          Answer.Packet.size() - dfu::VirtualReplyHeader > Request.Length)
        __builtin_trap();
    }
    Pos += Take;
  }
  return 0;
}
