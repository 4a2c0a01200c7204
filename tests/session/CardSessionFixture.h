// A card session against the caddis-card-sim program, in a private runtime folder: the
// fixture the session's process tests share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hostlink/OrvaneHost.h"
#include "session/CardFlows.h"
#include "sim/SimProcess.h"

class tCardSessionFixture : public ::testing::Test {
 protected:
  tCardSessionFixture()
      : Session([this](std::chrono::milliseconds Span) {
          return tHostLoop(Session.Host.get()).RunFor(Span) != le_Stopped;
        }) {}
  ~tCardSessionFixture() override { Session.Close(); }

  // Starts the simulated card on port Com with Extra and waits for its port.
  void StartCard(int Com, std::vector<std::string> Extra = {}) {
    std::vector<std::string> Args{"--com", std::to_string(Com)};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    Sim = std::make_unique<tSimProcess>(Runtime, Args);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(Com)); }))
        << Sim->Output();
  }
  // Opens the session on port Com and waits until the card has identified itself.
  void OpenIdentified(int Com) {
    std::string Error;
    ASSERT_TRUE(Session.OpenCard(Com, Error)) << Error;
    Session.Host->AskIdentity();
    ASSERT_TRUE(Run(IdentityFlow(Session, std::chrono::seconds(5)), Error)) << Error;
  }
  // Runs a flow of the session to its end; why it failed in Error.
  bool Run(tFlow Flow, std::string& Error) {
    const tFlowOutcome Outcome = RunFlow(std::move(Flow), &Session.Host);
    Error = Outcome.Text;
    return Outcome.Ok;
  }

  tCapturedOutput Output;
  tTestRuntime Runtime;
  std::unique_ptr<tSimProcess> Sim;
  tCardSession Session;
};
