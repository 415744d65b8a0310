#include "requests/NatRegistry.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cassert>
#include <utility>

#include "requests/RequestPacket.h"
#include "runtime/Log.h"
#include "servers/AddressHelpers.h"
#include "servers/RelayLoop.h"

namespace quorvane {

const char* RedirectorKind(std::uint32_t proto) { return proto == kProtoTcp ? "TCP" : "UDP"; }

std::string PublicName(const TRedirectorEntry& entry) {
  return AddrToStr(entry.PublicAddr) + ":" + std::to_string(ntohs(entry.PublicPort));
}

TNatRegistry::~TNatRegistry() {
  // Normally empty by now; whatever is left is ended here, on the owner's
  // thread, once every loop has stopped.
  TRedirectors left;
  {
    TMutexLock lock(mu_);
    left.swap(RedirectorList);
    index_.clear();
  }
  for (auto& entry : left) entry->Redirector.reset();
}

TClientEntry* TNatRegistry::AddClient(std::unique_ptr<TClientEntry> entry) {
  TClientEntry* added = entry.get();
  TMutexLock lock(mu_);
  ClientList.push_back(std::move(entry));
  clients_.emplace(added, std::prev(ClientList.end()));
  return added;
}

void TNatRegistry::RemoveClient(TClientEntry* entry) {
  std::unique_ptr<TClientEntry> removed;
  TMutexLock lock(mu_);
  const auto found = clients_.find(entry);
  if (found == clients_.end()) return;
  assert(entry->Owned.empty());
  removed = std::move(*found->second);
  ClientList.erase(found->second);
  clients_.erase(found);
}

void TNatRegistry::UpdateClient(TClientEntry* entry, const std::function<void(TClientEntry&)>& fn) {
  TMutexLock lock(mu_);
  if (clients_.count(entry) != 0) fn(*entry);
}

std::size_t TNatRegistry::ClientCount() {
  TMutexLock lock(mu_);
  return ClientList.size();
}

TRedirectorEntry* TNatRegistry::Find(const TRedirectorKey& key,
                                     std::vector<std::unique_ptr<TRedirectorEntry>>& dead) {
  const auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  TRedirectorEntry& entry = **found->second;
  if (!entry.Redirector->Failed()) return &entry;
  dead.push_back(Remove(entry));
  return nullptr;
}

TRedirectorEntry& TNatRegistry::Insert(std::unique_ptr<TRedirectorEntry> entry) {
  TRedirectorEntry& inserted = *entry;
  RedirectorList.push_back(std::move(entry));
  index_.emplace(inserted.Key(), std::prev(RedirectorList.end()));
  if (inserted.OwnerEntry != nullptr) {
    inserted.OwnedAt = inserted.OwnerEntry->Owned.insert(inserted.OwnerEntry->Owned.end(), &inserted);
  }
  return inserted;
}

std::unique_ptr<TRedirectorEntry> TNatRegistry::Remove(TRedirectorEntry& entry) {
  const auto found = index_.find(entry.Key());
  assert(found != index_.end() && found->second->get() == &entry);
  std::unique_ptr<TRedirectorEntry> removed = std::move(*found->second);
  RedirectorList.erase(found->second);
  index_.erase(found);
  if (removed->OwnerEntry != nullptr) removed->OwnerEntry->Owned.erase(removed->OwnedAt);
  const bool udp = removed->Proto != kProtoTcp && removed->Stats;
  if (removed->Redirector->Loop().InLoopThread()) {
    // Its own loop: the port closes in the same step that takes the entry
    // out, so nobody sees the one without the other.
    removed->Redirector.reset();
    if (udp) metrics_.RetireUdp(*removed->Stats);
  } else if (udp) {
    retiring_.push_back(removed->Stats);
  }
  return removed;
}

std::vector<std::unique_ptr<TRedirectorEntry>> TNatRegistry::RemoveOwnedBy(TClientEntry& client) {
  std::vector<std::unique_ptr<TRedirectorEntry>> removed;
  removed.reserve(client.Owned.size());
  while (!client.Owned.empty()) removed.push_back(Remove(*client.Owned.back()));
  return removed;
}

std::size_t TNatRegistry::RedirectorCount() {
  TMutexLock lock(mu_);
  return RedirectorList.size();
}

void TNatRegistry::Destroy(std::unique_ptr<TRedirectorEntry> entry, const std::string& why, TTask then) {
  if (entry->Redirector && !entry->Redirector->Loop().InLoopThread()) {
    TRelayLoop& loop = entry->Redirector->Loop();
    TTask task = [this, entry = std::move(entry), why, then = std::move(then)]() mutable {
      Finish(std::move(entry), why);
      if (then) then();
    };
    if (loop.TryPost(task)) return;
    // The loop has closed: nothing serves the redirector any more, and it
    // may be ended right here.
    task();
    return;
  }
  Finish(std::move(entry), why);
  if (then) then();
}

void TNatRegistry::DestroyAll(std::vector<std::unique_ptr<TRedirectorEntry>> entries,
                              const std::string& why) {
  for (auto& entry : entries) Destroy(std::move(entry), why);
}

void TNatRegistry::Finish(std::unique_ptr<TRedirectorEntry> entry, const std::string& why) {
  const std::string name = PublicName(*entry);
  // Closes the public port and every socket the redirector held, unless
  // Remove() did; its counts are final from here on.
  const bool closing_here = entry->Redirector != nullptr;
  entry->Redirector.reset();
  if (closing_here && entry->Proto != kProtoTcp && entry->Stats) {
    TMutexLock lock(mu_);
    metrics_.RetireUdp(*entry->Stats);
    const auto found = std::find(retiring_.begin(), retiring_.end(), entry->Stats);
    if (found != retiring_.end()) retiring_.erase(found);
  }
  LogInfo(RedirectorKind(entry->Proto), " Redirector at ", name, " ", why);
}

bool TNatRegistry::VisitOnLoop(const TRedirectorKey& key,
                               const std::function<void(const TRedirectorEntry&)>& fn) {
  // The loop is looked up under the lock but waited for without it: the
  // loop serves control sessions too, which take the lock, so waiting for
  // it with the lock held could wait forever.
  TRelayLoop* loop = nullptr;
  {
    TMutexLock lock(mu_);
    const auto found = index_.find(key);
    if (found == index_.end()) return false;
    loop = &(*found->second)->Redirector->Loop();
  }
  bool visited = false;
  loop->RunSync([&] {
    TMutexLock lock(mu_);
    // Looked up again: it may have gone, or been made anew on another loop.
    // One that is still here is alive, since it is only ever ended after
    // being taken out under this lock.
    const auto found = index_.find(key);
    if (found == index_.end()) return;
    const TRedirectorEntry& entry = **found->second;
    if (&entry.Redirector->Loop() != loop || entry.Redirector->Failed()) return;
    fn(entry);
    visited = true;
  });
  return visited;
}

void TNatRegistry::VisitClients(const std::function<void(const TClientEntry&)>& each) {
  TMutexLock lock(mu_);
  for (const auto& entry : ClientList) each(*entry);
}

void TNatRegistry::VisitRedirectors(const std::function<void(const TRedirectorEntry&)>& each,
                                    const std::function<void(const TRedirectorStats&)>& retired) {
  TMutexLock lock(mu_);
  for (const auto& entry : RedirectorList) each(*entry);
  for (const auto& stats : retiring_) retired(*stats);
  retired(metrics_.RetiredUdp);
}

}  // namespace quorvane
