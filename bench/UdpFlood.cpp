#include "bench/UdpFlood.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

#include "bench/BenchSupport.h"
#include "bench/BenchTargets.h"
#include "runtime/Thread.h"

namespace quorvane::bench {

namespace {

constexpr std::size_t kPlayerDatagram = 64;
// The flood's sizes: the first meets UDP_DATAGRAMS_PER_PLAYER long before
// UDP_BYTES_PER_PLAYER, the second the other way round (at the default caps).
constexpr std::array<std::size_t, 2> kFloodSizes = {64, 4096};
// An answer this long after the player's last send counts as lost.
constexpr int kLateMs = 300;
// The player alone, before the first flood.
constexpr int kQuietMs = 300;
constexpr int kSocketTimeoutMs = 1000;

std::uint32_t PlayerAddress() { return htonl(INADDR_LOOPBACK + 2); }
std::uint32_t FloodAddress() { return htonl(INADDR_LOOPBACK + 3); }

// The legitimate player: a numbered datagram every 1/kFloodPlayerRate s
// until terminated, then the answers still on their way.
class TPlayer final : public TThread {
 public:
  explicit TPlayer(std::uint16_t port)
      : fd_(ConnectUdpLoopbackFrom(PlayerAddress(), port, kSocketTimeoutMs)) {}
  bool Valid() const { return fd_.Valid(); }
  // After WaitFor():
  std::uint64_t Sent() const { return answered_.size(); }
  std::uint64_t Answered() const {
    return static_cast<std::uint64_t>(std::count(answered_.begin(), answered_.end(), true));
  }

 protected:
  void Execute() override {
    std::array<std::uint8_t, kPlayerDatagram> datagram{};
    std::array<std::uint8_t, 2 * kPlayerDatagram> answer{};
    datagram[0] = 'P';
    const auto period = std::chrono::microseconds(1'000'000 / kFloodPlayerRate);
    auto next_send = TClock::now();
    auto stop_at = TClock::time_point::max();
    for (;;) {
      const auto now = TClock::now();
      if (stop_at == TClock::time_point::max() && Terminated()) {
        stop_at = now + std::chrono::milliseconds(kLateMs);
      }
      if (now >= stop_at) return;
      if (stop_at == TClock::time_point::max() && now >= next_send) {
        const auto sequence = static_cast<std::uint32_t>(answered_.size());
        std::memcpy(datagram.data() + 4, &sequence, sizeof sequence);
        answered_.push_back(false);
        SendSome(fd_.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
        next_send += period;
        continue;
      }
      const auto until = std::min(next_send, stop_at);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
      // Once terminated the wake descriptor stays readable: wait on the
      // socket alone.
      const int wake = stop_at == TClock::time_point::max() ? WakeFd() : -1;
      if (WaitFd(fd_.Get(), POLLIN, wake, static_cast<int>(std::max<std::int64_t>(wait, 0) + 1)) !=
          TWaitResult::kReady) {
        continue;
      }
      for (;;) {
        const ssize_t n = RecvSome(fd_.Get(), answer.data(), answer.size(), MSG_DONTWAIT);
        if (n < 0) break;
        std::uint32_t sequence = 0;
        if (n != static_cast<ssize_t>(kPlayerDatagram)) continue;
        std::memcpy(&sequence, answer.data() + 4, sizeof sequence);
        if (sequence < answered_.size()) answered_[sequence] = true;
      }
    }
  }

 private:
  TUniqueFd fd_;
  std::vector<bool> answered_;  // player thread only until WaitFor()
};

// Marked datagrams of |size| from kFloodSockets sockets of 127.0.0.3 in
// turn, as fast as they are taken, until terminated.
class TFlood final : public TThread {
 public:
  TFlood(std::uint16_t port, std::size_t size) : datagram_(size, 0) {
    datagram_[0] = kFloodMarker;
    for (int i = 0; i < kFloodSockets; ++i) {
      TUniqueFd fd = ConnectUdpLoopbackFrom(FloodAddress(), port, kSocketTimeoutMs);
      if (fd) sockets_.push_back(std::move(fd));
    }
  }
  bool Valid() const { return sockets_.size() == kFloodSockets; }
  std::uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override {
    for (std::size_t next = 0; !Terminated(); ++next) {
      const int fd = sockets_[next % sockets_.size()].Get();
      if (SendSome(fd, datagram_.data(), datagram_.size(), MSG_DONTWAIT) > 0) {
        sent_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

 private:
  std::vector<std::uint8_t> datagram_;
  std::vector<TUniqueFd> sockets_;
  std::atomic<std::uint64_t> sent_{0};
};

}  // namespace

TUdpFlood MeasureUdpFlood(TRedirectorHost& host, const TCapRates& caps, const TUdpFloodConfig& config,
                          std::vector<std::string>* problems) {
  TUdpFlood result;
  result.Caps = caps;
  TUdpEchoTarget target;
  if (!target.Valid() || !target.Resume()) {
    problems->push_back("UDP flood: no echo target");
    return result;
  }
  const TStopAtExit stop_target(target);
  host.SetCaps(caps);
  const std::uint16_t port = host.AddUdp(target.Port());
  TPlayer player(port);
  if (port == 0 || !player.Valid() || !player.Resume()) {
    problems->push_back("UDP flood: no UDP redirector and player");
    host.Drop(port);
    host.SetCaps(kNoCaps);
    return result;
  }
  const std::int64_t drops_before = UdpReceiveBufferErrors();
  {
    const TStopAtExit stop_player(player);
    Pause(kQuietMs);
    for (std::size_t i = 0; i < kFloodSizes.size(); ++i) {
      TUdpFloodPhase& phase = result.Phases[i];
      TFlood flood(port, kFloodSizes[i]);
      if (!flood.Valid() || !flood.Resume()) {
        problems->push_back("UDP flood: the flood's sockets could not be made");
        break;
      }
      phase.Datagram = kFloodSizes[i];
      const TStopAtExit stop_flood(flood);
      Pause(config.WarmUpMs);
      const std::uint64_t sent = flood.Sent();
      const std::uint64_t datagrams = target.FloodDatagrams();
      const std::uint64_t bytes = target.FloodBytes();
      const auto start = TClock::now();
      Pause(config.PhaseMs);
      const double seconds = SecondsSince(start);
      phase.SentPerS = static_cast<double>(flood.Sent() - sent) / seconds;
      phase.TargetDatagramsPerS = static_cast<double>(target.FloodDatagrams() - datagrams) / seconds;
      phase.TargetBytesPerS = static_cast<double>(target.FloodBytes() - bytes) / seconds;
    }
    Pause(kQuietMs);
  }
  const std::int64_t drops_after = UdpReceiveBufferErrors();
  if (drops_before >= 0 && drops_after >= 0) result.BufferDrops = drops_after - drops_before;
  const std::uint64_t received = target.Received();
  result.PlayerSent = player.Sent();
  result.LostToTarget = result.PlayerSent - std::min(received, result.PlayerSent);
  result.LostFromTarget = received - std::min(player.Answered(), received);
  result.Measured = result.Phases.back().Datagram != 0;
  host.Drop(port);
  host.SetCaps(kNoCaps);
  return result;
}

}  // namespace quorvane::bench
