#include "sim/UsbGadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

namespace {

std::string Trimmed(std::string Text) {
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == ' '))
    Text.pop_back();
  return Text;
}

// The model's answer to a standard GET_DESCRIPTOR, without the reply header; empty when it
// has none.
std::vector<uint8_t> DescriptorOf(dfu::tVirtualDFUDevice& Device, uint8_t Type) {
  dfu::tVirtualRequest Request;
  Request.RequestType = 0x80;
  Request.Request = USB_REQ_GET_DESCRIPTOR;
  Request.Value = static_cast<uint16_t>(Type << 8);
  Request.Length = 0xFFFF;
  const auto Answer = Device.Handle(Request);
  if (Answer.Packet.size() <= dfu::VirtualReplyHeader || Answer.Packet[0] != dfu::vr_Done)
    return {};
  return {Answer.Packet.begin() + dfu::VirtualReplyHeader, Answer.Packet.end()};
}

// What GadgetFS takes on ep0 before it binds: a zero tag, the full-speed configuration, the
// high-speed one (the same here: the boot loader has no endpoints beyond ep0), the device
// descriptor.
std::vector<uint8_t> GadgetDescriptors(dfu::tVirtualDFUDevice& Device) {
  const auto Config = DescriptorOf(Device, USB_DT_CONFIG);
  auto DeviceDescriptor = DescriptorOf(Device, USB_DT_DEVICE);
  if (Config.size() < USB_DT_CONFIG_SIZE || DeviceDescriptor.size() != USB_DT_DEVICE_SIZE)
    return {};
  std::vector<uint8_t> All(4, 0);
  All.insert(All.end(), Config.begin(), Config.end());
  All.insert(All.end(), Config.begin(), Config.end());
  All.insert(All.end(), DeviceDescriptor.begin(), DeviceDescriptor.end());
  return All;
}

}  // namespace

bool tSerialGadget::Attach(std::string& Error) {
  std::ifstream File(Folder + "/UDC");
  std::string Name;
  std::getline(File, Name);
  Udc = Trimmed(Name);
  if (Udc.empty())
    Error = File ? "the gadget " + Folder + " is on no device controller"
                 : "cannot read " + Folder + "/UDC";
  return !Udc.empty();
}

bool tSerialGadget::WriteUdc(const std::string& Name, std::string& Error) {
  const std::string Path = Folder + "/UDC";
  const int Fd = open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (Fd < 0) {
    Error = "cannot open " + Path + ": " + std::strerror(errno);
    return false;
  }
  const std::string Line = Name + "\n";
  const bool Ok = write(Fd, Line.data(), Line.size()) == static_cast<ssize_t>(Line.size());
  const int Why = errno;
  close(Fd);
  if (!Ok) Error = "cannot write \"" + Name + "\" to " + Path + ": " + std::strerror(Why);
  return Ok;
}

bool tSerialGadget::Unplug(std::string& Error) {
  if (!Plugged) return true;
  Plugged = !WriteUdc("", Error);
  return !Plugged;
}

bool tSerialGadget::Plug(std::string& Error) {
  if (Plugged) return true;
  Plugged = WriteUdc(Udc, Error);
  return Plugged;
}

tGadgetBootLoader::tGadgetBootLoader(std::string aGadgetFS, dfu::tVirtualDFUOptions aOptions)
    : Folder(std::move(aGadgetFS)), Device([&] {
        aOptions.TransferSize = TransferSize;
        return aOptions;
      }()) {}

// GadgetFS shows one file before it is bound: ep0 of the controller it took when it was
// mounted, named after the controller's gadget ("dummy_udc" for dummy_hcd's).
std::string tGadgetBootLoader::FindEp0(std::string& Error) const {
  DIR* Dir = opendir(Folder.c_str());
  if (!Dir) {
    Error = "cannot read " + Folder + " (is GadgetFS mounted there?): " + std::strerror(errno);
    return {};
  }
  std::string Name;
  while (const dirent* Entry = readdir(Dir)) {
    const std::string_view Seen(Entry->d_name);
    if (Seen == "." || Seen == ".." || Seen.starts_with("ep")) continue;
    Name = Entry->d_name;
    break;
  }
  closedir(Dir);
  if (Name.empty()) Error = "GadgetFS at " + Folder + " offers no device controller";
  return Name.empty() ? std::string() : Folder + "/" + Name;
}

tGadgetBootLoader::~tGadgetBootLoader() {
  Stop();
}

bool tGadgetBootLoader::Start(std::string* aError) {
  Stop();
  // The signal that ends a waiting read does nothing else, and restarts nothing.
  struct sigaction Action {};
  Action.sa_handler = [](int) {};
  sigemptyset(&Action.sa_mask);
  sigaction(WakeSignal, &Action, nullptr);
  Device.Rearm();
  Configured = false;
  const auto Descriptors = GadgetDescriptors(Device);
  if (Descriptors.empty()) {
    if (aError) *aError = "the boot loader's descriptors are not usable";
    return false;
  }
  std::string Why;
  Ep0Path = FindEp0(Why);
  if (Ep0Path.empty()) {
    if (aError) *aError = Why;
    return false;
  }
  Ep0 = open(Ep0Path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  StopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Writing the descriptors binds the device to the controller: the host enumerates it.
  if (Ep0 < 0 || StopEvent < 0 ||
      write(Ep0, Descriptors.data(), Descriptors.size()) !=
          static_cast<ssize_t>(Descriptors.size())) {
    if (aError)
      *aError = "cannot serve the boot loader on " + Ep0Path + ": " + std::strerror(errno);
    Stop();
    return false;
  }
  Worker = std::thread([this] { Serve(); });
  // The kernel acknowledges a control write's data stage by itself, and the host's next
  // request (a GETSTATUS straight after each DNLOAD) takes the data away unless this thread
  // has read it first. A real-time thread runs before any ordinary one on its processor as
  // soon as the kernel wakes it, so on one processor the host's program cannot overtake it.
  sched_param Priority{};
  Priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
  if (const int Refused = pthread_setschedparam(Worker.native_handle(), SCHED_FIFO, &Priority))
    Warning = std::string("the boot loader's thread has no real-time priority (") +
              std::strerror(Refused) + "): blocks the host sends may be lost";
  return true;
}

void tGadgetBootLoader::Stop() {
  if (Worker.joinable()) {
    StopRequested = true;
    const uint64_t One = 1;
    if (write(StopEvent, &One, sizeof One) < 0) {
      // The eventfd cannot be full with one write; nothing else to do.
    }
    // A data stage the host never sends leaves the worker's read waiting: a signal ends it.
    pthread_kill(Worker.native_handle(), WakeSignal);
    Worker.join();
  }
  StopRequested = false;
  if (Ep0 >= 0) close(Ep0);
  if (StopEvent >= 0) close(StopEvent);
  Ep0 = StopEvent = -1;
}

// Closing ep0 takes the device off the bus; the report follows once it is gone.
bool tGadgetBootLoader::Leave() {
  close(Ep0);
  Ep0 = -1;
  if (OnRestart) OnRestart(Device.LastRestart());
  return false;
}

ssize_t tGadgetBootLoader::ReadWaiting(uint8_t* aData, std::size_t aLength) {
  const int Flags = fcntl(Ep0, F_GETFL);
  fcntl(Ep0, F_SETFL, Flags & ~O_NONBLOCK);
  const ssize_t Got = read(Ep0, aData, aLength);
  fcntl(Ep0, F_SETFL, Flags);
  return Got;
}

void tGadgetBootLoader::Serve() {
  usb_gadgetfs_event Events[5];
  while (Ep0 >= 0) {
    pollfd Wait[2] = {{Ep0, POLLIN, 0}, {StopEvent, POLLIN, 0}};
    if (poll(Wait, 2, -1) < 0 && errno != EINTR) return;
    if (Wait[1].revents) return;
    const ssize_t Got = read(Ep0, Events, sizeof Events);
    if (Got < 0) {
      // EIDRM: the host started a new request before the last was answered.
      if (errno == EAGAIN || errno == EINTR || errno == EIDRM) continue;
      return;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(Got) / sizeof Events[0]; ++i) {
      switch (Events[i].type) {
        case GADGETFS_DISCONNECT: {
          // A disconnect before the host configured the device belongs to its enumeration
          // (the host resets a new device more than once); after it, it is a USB reset.
          if (!Configured) break;
          Configured = false;
          dfu::tVirtualRequest Reset;
          Reset.Op = dfu::vo_Reset;
          if (Device.Handle(Reset).Vanish) {
            Leave();
            return;
          }
          break;
        }
        case GADGETFS_SETUP:
          if (!Setup(&Events[i].u.setup)) return;
          break;
        default:
          break;
      }
    }
  }
}

bool tGadgetBootLoader::Setup(const void* aRequest) {
  usb_ctrlrequest Control{};
  std::memcpy(&Control, aRequest, sizeof Control);
  dfu::tVirtualRequest Request;
  Request.RequestType = Control.bRequestType;
  Request.Request = Control.bRequest;
  Request.Value = Control.wValue;
  Request.Index = Control.wIndex;
  Request.Length = Control.wLength;
  uint8_t Data[4096];
  if (Request.RequestType == 0 && Request.Request == USB_REQ_SET_CONFIGURATION) {
    // The kernel has taken it; it waits only for this side's acknowledgement.
    Configured = Request.Value != 0;
    return read(Ep0, Data, 0) >= 0 || errno != ESHUTDOWN;
  }
  if (!Request.DeviceToHost() && Request.Length > 0) {
    // The data stage: the kernel acknowledges it by itself, and the host's next request (a
    // GETSTATUS straight after a DNLOAD) takes the data away if it comes before this read.
    // So the read waits in the kernel, woken the moment the data is in, rather than polling.
    const ssize_t Got = ReadWaiting(Data, std::min<std::size_t>(Request.Length, sizeof Data));
    if (Got < 0) return !StopRequested;  // lost to a reset or a newer request
    Request.Data.assign(Data, Data + Got);
    Request.Length = static_cast<uint16_t>(Got);
  }
  const auto Answer = Device.Handle(Request);
  const bool Done = Answer.Reply && Answer.Packet.size() >= dfu::VirtualReplyHeader &&
                    Answer.Packet[0] == dfu::vr_Done;
  if (Request.DeviceToHost()) {
    // An IN request is answered by writing its data, and stalled by reading.
    if (Done)
      (void)!write(Ep0, Answer.Packet.data() + dfu::VirtualReplyHeader,
                   Answer.Packet.size() - dfu::VirtualReplyHeader);
    else
      (void)!read(Ep0, Data, 0);
  } else if (Request.Length == 0) {
    // An OUT request without data is acknowledged by reading nothing, stalled by writing.
    if (Done)
      (void)!read(Ep0, Data, 0);
    else
      (void)!write(Ep0, Data, 0);
  }
  if (Answer.Vanish) return Leave();
  return true;
}
