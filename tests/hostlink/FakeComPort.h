// A serial port without a device: bytes the host sends land in Sent, bytes a test feeds
// wait in the receive queue. Installed through tOrvaneHost's port factory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hostlink/OrvaneHost.h"
#include "serial/ComPorts.h"

class tFakeComPort : public tComPort {
 public:
  tFakeComPort() = default;

  int32_t Send(const void* Buffer, int32_t Count) override {
    const int32_t Taken = SendLimit < 0 ? Count : std::min(Count, SendLimit);
    const auto* Bytes = static_cast<const uint8_t*>(Buffer);
    Sent.insert(Sent.end(), Bytes, Bytes + Taken);
    if (OnSend) OnSend(Bytes, Taken);
    return Taken;
  }
  int32_t SendString(const std::string& s) override {
    return Send(s.data(), static_cast<int32_t>(s.size()));
  }
  int32_t Receive(void* Buffer, int32_t Count) override {
    int32_t n = 0;
    auto* Bytes = static_cast<uint8_t*>(Buffer);
    while (n < Count && !Incoming.empty()) {
      Bytes[n++] = Incoming.front();
      Incoming.pop_front();
    }
    return n;
  }
  int32_t SendingCount() const override { return 0; }
  int32_t ReceivingCount() const override { return static_cast<int32_t>(Incoming.size()); }
  uint8_t SendSpaceUsed() const override { return 0; }
  uint8_t ReceiveSpaceUsed() const override { return 0; }
  bool PeekNextByte(uint8_t& Data) const override {
    if (Incoming.empty()) return false;
    Data = Incoming.front();
    return true;
  }
  void ClearInputQueue() override {
    Incoming.clear();
    ++InputClears;
  }
  void ClearOutputQueue() override { ++OutputClears; }
  void ToggleDTR() override {}
  bool HungUp() const override { return IsHungUp; }
  bool IsHungUp = false;
  bool IsPseudoTerminal() const override { return PseudoTerminal; }
  bool PseudoTerminal = false;  // stands in for the simulated card's pseudo-terminal

  void Feed(const std::vector<uint8_t>& Bytes) {
    Incoming.insert(Incoming.end(), Bytes.begin(), Bytes.end());
  }
  std::vector<uint8_t> TakeSent() { return std::exchange(Sent, {}); }

  std::deque<uint8_t> Incoming;
  std::vector<uint8_t> Sent;
  int32_t SendLimit = -1;  // at most this many bytes are taken per Send; -1 = all
  int InputClears = 0;
  int OutputClears = 0;
  std::function<void(const uint8_t*, int32_t)> OnSend;
};

// Makes every host object get a tFakeComPort (or fail to open with FailWith when Fail is
// set) while it lives; Last points at the most recent port.
class tFakePortFactory {
 public:
  tFakePortFactory() {
    tOrvaneHost::SetComPortFactory([this](uint32_t aCom, int32_t Baud, bool Flow) {
      ++Opens;
      LastCom = aCom;
      LastBaud = Baud;
      LastFlow = Flow;
      if (Fail) throw tComPortOpenError(static_cast<int32_t>(aCom), FailWith);
      auto Port = std::make_unique<tFakeComPort>();
      Last = Port.get();
      return std::unique_ptr<tComPort>(std::move(Port));
    });
  }
  ~tFakePortFactory() { tOrvaneHost::SetComPortFactory(nullptr); }

  bool Fail = false;
  tSerialError FailWith;
  int Opens = 0;
  uint32_t LastCom = 0;
  int32_t LastBaud = 0;
  bool LastFlow = false;
  tFakeComPort* Last = nullptr;
};
