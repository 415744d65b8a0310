// TUDPServer: one thread serving one UDP port (placeholder until built).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <span>
#include <string>

#include "runtime/Net.h"
#include "runtime/Thread.h"

namespace quorvane {

class TUDPServer : public TThread {
 public:
  TUDPServer(std::string host, std::uint16_t port);
  ~TUDPServer() override;
  int Socket() const { return socket_.get(); }

 protected:
  void Execute() override;
  virtual void ProcessDatagram(const sockaddr_in& from, std::span<const std::uint8_t> data);
  virtual void Idle();

 private:
  std::string host_;
  std::uint16_t port_;
  UniqueFd socket_;
};

}  // namespace quorvane
