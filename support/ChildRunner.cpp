#include "support/ChildRunner.h"

#include "platform/Console.h"

tChildRunner::~tChildRunner() {
  StopAll(tChildProcess::ps_Terminate);
  // The children end; their readers then see the end of both streams.
  for (auto& [Port, Child] : fChildren) {
    for (std::thread& Reader : Child.Readers)
      if (Reader.joinable()) Reader.join();
    Child.Process->Wait();
  }
}

bool tChildRunner::Start(int32_t Port, const std::vector<std::string>& Argv, std::string& Error) {
  auto Process = tChildProcess::Start(Argv, Error);
  if (!Process) return false;
  tChild& Child = fChildren[Port];
  Child.Process = std::move(Process);
  tChildProcess* Raw = Child.Process.get();
  Child.Readers[0] = std::thread([this, Port, Raw] { Read(Port, Raw, tChildProcess::ps_Output); });
  Child.Readers[1] = std::thread([this, Port, Raw] { Read(Port, Raw, tChildProcess::ps_Error); });
  return true;
}

void tChildRunner::Read(int32_t Port, tChildProcess* Process, tChildProcess::tStream Stream) {
  const auto Kind =
      Stream == tChildProcess::ps_Output ? tHappening::ch_Output : tHappening::ch_ErrorLine;
  std::string Pending;
  char Buffer[4096];
  auto Push = [&](tHappening Happening) {
    std::lock_guard<std::mutex> Guard(fLock);
    fQueue.push_back(std::move(Happening));
    fArrived.notify_one();
  };
  for (;;) {
    const long Got = Process->ReadOutput(Stream, Buffer, sizeof Buffer);
    if (Got <= 0) break;
    Pending.append(Buffer, static_cast<std::size_t>(Got));
    for (std::size_t End; (End = Pending.find('\n')) != std::string::npos;) {
      std::string Line = Pending.substr(0, End);
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Pending.erase(0, End + 1);
      Push({Kind, Port, std::move(Line)});
    }
  }
  if (!Pending.empty()) Push({Kind, Port, Pending});
  // The end of a stream; the owner counts them (Exit -2 marks it) and waits for the child.
  Push({tHappening::ch_Ended, Port, "", -2});
}

bool tChildRunner::Next(tHappening& Happening, std::chrono::milliseconds Limit) {
  for (;;) {
    {
      std::unique_lock<std::mutex> Guard(fLock);
      if (fQueue.empty() && !fArrived.wait_for(Guard, Limit, [this] { return !fQueue.empty(); }))
        return false;
      Happening = std::move(fQueue.front());
      fQueue.pop_front();
    }
    if (Happening.Kind != tHappening::ch_Ended) return true;
    // A stream ended: once both have, the child has ended (or is ending) and is waited for.
    const auto Found = fChildren.find(Happening.Port);
    if (Found == fChildren.end() || --Found->second.Open > 0) continue;
    tChild& Child = Found->second;
    for (std::thread& Reader : Child.Readers)
      Reader.join();
    Happening.Exit = Child.Process->Wait();
    fChildren.erase(Found);
    return true;
  }
}

void tChildRunner::StopAll(tChildProcess::tStop How) {
  for (auto& [Port, Child] : fChildren)
    Child.Process->Stop(How);
}

void tChildRunner::Stop(int32_t Port, tChildProcess::tStop How) {
  if (const auto Found = fChildren.find(Port); Found != fChildren.end())
    Found->second.Process->Stop(How);
}

tChildProcess::tStop ChildStopFor(int Reason) {
  return Reason == tConsole::cs_Terminate ? tChildProcess::ps_Terminate
                                          : tChildProcess::ps_Interrupt;
}
