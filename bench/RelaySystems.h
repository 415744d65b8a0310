// The systems the benchmark compares, one column each: straight to the
// target ("direct"), Quorvane's redirectors, and the relays operators would
// pick instead (rinetd, haproxy, nginx's stream module) when installed. Each
// forwards a loopback port to a target on 127.0.0.1 the same way: a
// measurement opens the forwards it needs on every system, runs its load
// through each in turn, and closes them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/ChildProcess.h"
#include "bench/ProcessStats.h"
#include "bench/RedirectorHost.h"

namespace quorvane::bench {

enum class TProto { kTcp, kUdp };

struct TForward {
  TProto Proto = TProto::kTcp;
  std::uint16_t TargetPort = 0;  // on 127.0.0.1
};

// One column of the table. Main thread only.
class TRelaySystem {
 public:
  explicit TRelaySystem(std::string name, bool carries_udp)
      : name_(std::move(name)), carries_udp_(carries_udp) {}
  TRelaySystem(const TRelaySystem&) = delete;
  TRelaySystem& operator=(const TRelaySystem&) = delete;
  virtual ~TRelaySystem() = default;

  const std::string& Name() const { return name_; }
  // False for "direct", which runs no relay of its own.
  virtual bool Relays() const { return true; }
  // Whether UDP loads run through this system.
  bool CarriesUdp() const { return carries_udp_; }
  // Takes UDP off this system for the rest of the run, for the notes.
  void DropUdp(std::string why);
  const std::string& NoUdpReason() const { return no_udp_reason_; }

  // Opens one forward per entry, each from a port of 127.0.0.1 to
  // 127.0.0.1:TargetPort, and returns the public ports in order (0 where
  // one could not be opened; all 0 and Failure() set when the system could
  // not be started). REQUIRES: nothing open.
  virtual std::vector<std::uint16_t> Open(const std::vector<TForward>& forwards) = 0;
  // Closes what Open opened; a relay that runs as a program of its own ends.
  virtual void Close() = 0;
  // The processes whose CPU time, memory, threads and descriptors are this
  // system's while forwards are open; empty for "direct".
  virtual std::vector<pid_t> Processes() = 0;
  // Why the last Open failed, for the notes.
  const std::string& Failure() const { return failure_; }

 protected:
  std::string failure_;

 private:
  const std::string name_;
  bool carries_udp_;
  std::string no_udp_reason_;
};

// Straight to the target: the public port is the target's own.
class TDirectSystem final : public TRelaySystem {
 public:
  TDirectSystem() : TRelaySystem("direct", true) {}
  bool Relays() const override { return false; }
  std::vector<std::uint16_t> Open(const std::vector<TForward>& forwards) override;
  void Close() override {}
  std::vector<pid_t> Processes() override { return {}; }
};

// Quorvane's TCP and UDP redirectors, in the redirector process.
class TQuorvaneSystem final : public TRelaySystem {
 public:
  // |host| must outlive this object.
  explicit TQuorvaneSystem(TRedirectorHost& host) : TRelaySystem("Quorvane", true), host_(host) {}
  ~TQuorvaneSystem() override { Close(); }
  std::vector<std::uint16_t> Open(const std::vector<TForward>& forwards) override;
  void Close() override;
  std::vector<pid_t> Processes() override { return {host_.Pid()}; }

 private:
  TRedirectorHost& host_;
  std::vector<std::uint16_t> open_;
};

// A peer relay: a program started for each Open with a minimal
// configuration in a scratch directory, in the foreground, and ended by
// Close.
class TPeerSystem : public TRelaySystem {
 public:
  ~TPeerSystem() override { TPeerSystem::Close(); }
  std::vector<std::uint16_t> Open(const std::vector<TForward>& forwards) override;
  void Close() override;
  std::vector<pid_t> Processes() override { return ProcessTree(process_.Pid()); }

 protected:
  // |workers|: threads or worker processes to configure where the program
  // has the choice (the CPUs the benchmark may use).
  TPeerSystem(std::string name, bool carries_udp, int workers)
      : TRelaySystem(std::move(name), carries_udp), workers_(workers) {}

  struct TListener {
    TProto Proto;
    std::uint16_t Port;        // public, on 127.0.0.1
    std::uint16_t TargetPort;  // on 127.0.0.1
  };
  // Writes the program's configuration for |listeners| into |dir| and
  // returns its command line, which must keep it in the foreground.
  virtual std::vector<std::string> Configure(const TScratchDir& dir,
                                             const std::vector<TListener>& listeners) const = 0;
  int Workers() const { return workers_; }

 private:
  const int workers_;
  std::unique_ptr<TScratchDir> dir_;
  TChildProcess process_;
};

// The peers installed on this machine, in table order; |notes| gets a line
// for each one that is not.
std::vector<std::unique_ptr<TRelaySystem>> InstalledPeers(int workers, std::vector<std::string>* notes);

}  // namespace quorvane::bench
