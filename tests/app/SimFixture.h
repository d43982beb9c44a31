// The project's meter simulator inside the test process, on a loopback port
// of its own: the DLMS wrapper, or HDLC frames over TCP at the addresses
// given; or HDLC on a pseudo-terminal (Device()). One connection at a time,
// as a meter takes them.
#pragma once

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "tools/meter-sim/SimTransport.h"

namespace quillon::test {

class TSimulator {
public:
  enum TLine { lTcp, lPseudoTerminal };
  // `extraModel`: lines added to the simulator's model (clients, security).
  explicit TSimulator(std::optional<sim::THdlcSettings> hdlc = std::nullopt, TLine line = lTcp,
                      const std::string& extraModel = {})
      : FHdlc(hdlc) {
    const std::string path = std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt";
    std::ifstream f(path);
    const std::string text =
        std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>()) + extraModel;
    Model.Load(text);
    Assoc = std::make_unique<sim::TSimAssociation>(Model, sim::TSimSecurity{});
    Assoc->Configure(text);
    if (line == lPseudoTerminal) {
      auto link = std::make_shared<sim::TSimLink>(sim::OpenPseudoTerminal(FDevice));
      Server = std::thread([this, link] {
        while (!Stop) {
          try {
            sim::ServeHdlc(*link, *Assoc, *FHdlc, Stop, nullptr);
          } catch (const std::exception&) {
            // the client closed the line; wait until it opens it again
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
          Assoc->Reset();
        }
      });
      return;
    }
    Listener = std::make_unique<sim::TSimListener>("127.0.0.1", 0);
    Server = std::thread([this] {
      while (!Stop) {
        const int fd = Listener->Accept(50);
        if (fd < 0) continue;
        sim::TSimLink link(fd);
        try {
          if (FHdlc) sim::ServeHdlc(link, *Assoc, *FHdlc, Stop, nullptr);
          else sim::ServeWrapper(link, *Assoc, Stop, nullptr);
        } catch (const std::exception&) {
          // the client went away; wait for the next one
        }
        Assoc->Reset();
      }
    });
  }
  ~TSimulator() {
    Stop = true;
    Server.join();
  }
  int Port() const { return Listener->Port(); }
  const std::string& Device() const { return FDevice; }

  sim::TSimModel Model;
  std::unique_ptr<sim::TSimAssociation> Assoc;
  std::unique_ptr<sim::TSimListener> Listener;
  std::atomic<bool> Stop{false};
  std::thread Server;

private:
  std::optional<sim::THdlcSettings> FHdlc;
  std::string FDevice;
};

}  // namespace quillon::test
