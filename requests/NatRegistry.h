// TNatRegistry: the requests server's two registries, of clients
// (ClientList) and of redirectors (RedirectorList), behind one lock.
//
// The lock is what makes a create atomic: a caller holds it (through
// Mutex()) from the key's lookup to the new entry's insert, so two sessions
// creating one key get one redirector. Nothing done under it waits for the
// network: redirectors are built from resolved addresses, and one is only
// ever destroyed on its own loop, which never takes this lock while it
// serves. Lookups by key are hashed, and a session's client entry lists the
// redirectors it owns, so nothing searches the lists.
//
// It also keeps the per-address count of redirectors (REDIRECTORS_PER_ADDRESS):
// a create reserves its owner's share before it builds.
//
// Entries are plain records; the registry owns them. A removed redirector
// entry goes to Destroy(), which ends the redirector on its loop and only
// then retires what a UDP redirector counted, so totals never go back.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "requests/ClientEntry.h"
#include "requests/RedirectorEntry.h"
#include "requests/ServerMetrics.h"
#include "runtime/AddressCounter.h"
#include "runtime/Mutex.h"
#include "runtime/Task.h"

namespace quorvane {

// "TCP" or "UDP"; and "address:port" of where |entry| listens.
const char* RedirectorKind(std::uint32_t proto);
std::string PublicName(const TRedirectorEntry& entry);

class TNatRegistry final {
 public:
  explicit TNatRegistry(TServerMetrics& metrics) : metrics_(metrics) {}
  TNatRegistry(const TNatRegistry&) = delete;
  TNatRegistry& operator=(const TNatRegistry&) = delete;
  // Every redirector has been destroyed by then (the server's stop).
  ~TNatRegistry();

  TMutex& Mutex() RETURN_CAPABILITY(mu_) { return mu_; }

  // Clients. The entry's address stays valid until RemoveClient().
  TClientEntry* AddClient(std::unique_ptr<TClientEntry> entry) EXCLUDES(mu_);
  // REQUIRES: |entry| owns no redirector any more.
  void RemoveClient(TClientEntry* entry) EXCLUDES(mu_);
  // |fn| runs on the entry under the lock.
  void UpdateClient(TClientEntry* entry, const std::function<void(TClientEntry&)>& fn) EXCLUDES(mu_);
  std::size_t ClientCount() EXCLUDES(mu_);

  // Redirectors.
  // The live entry with |key|, or null. An entry whose redirector stopped
  // serving by itself is taken out and appended to |dead| (to be destroyed
  // once the lock is released), so no reply names a port that is gone.
  TRedirectorEntry* Find(const TRedirectorKey& key, std::vector<std::unique_ptr<TRedirectorEntry>>& dead)
      REQUIRES(mu_);
  // One more redirector for |owner| (network order), unless it holds
  // |limit| already (0: no limit): an empty slot means refused. The slot
  // goes with the entry, and gives the share back when the entry goes.
  TAddressSlot Reserve(std::uint32_t owner, std::uint32_t limit) {
    return by_owner_.TryAcquire(owner, limit);
  }
  // Redirectors per owner's address, as Reserve() counts them.
  TAddressCounter& ByOwnerAddress() { return by_owner_; }
  // Records |entry| (its key must be new) as owned by its OwnerEntry.
  TRedirectorEntry& Insert(std::unique_ptr<TRedirectorEntry> entry) REQUIRES(mu_);
  // Takes |entry| out. On the redirector's own loop thread its redirector
  // is ended right here, under the lock, so the port is closed by the time
  // anyone sees the entry gone; elsewhere Destroy() ends it on its loop.
  // Either way the caller passes the entry to Destroy() once unlocked.
  std::unique_ptr<TRedirectorEntry> Remove(TRedirectorEntry& entry) REQUIRES(mu_);
  // Takes out every entry |client| owns, newest first.
  std::vector<std::unique_ptr<TRedirectorEntry>> RemoveOwnedBy(TClientEntry& client) REQUIRES(mu_);
  std::size_t RedirectorCount() EXCLUDES(mu_);

  // Ends |entry|'s redirector and logs "<kind> Redirector at <public>
  // <why>" on standard error: at once when
  // called on the redirector's loop thread (or once that loop has closed),
  // so the public port is closed on return; else on its loop, after which
  // |then| runs there. Not under the lock.
  void Destroy(std::unique_ptr<TRedirectorEntry> entry, const std::string& why, TTask then = {})
      EXCLUDES(mu_);
  // Destroy() for each, in order.
  void DestroyAll(std::vector<std::unique_ptr<TRedirectorEntry>> entries, const std::string& why)
      EXCLUDES(mu_);

  // Runs |fn| on the live entry with |key| on its redirector's loop thread,
  // under the lock, where what only that loop may touch (its players) can
  // be read. False when there is none, or it failed, or it went meanwhile.
  // Any thread but a loop's: it waits for the loop.
  bool VisitOnLoop(const TRedirectorKey& key, const std::function<void(const TRedirectorEntry&)>& fn)
      EXCLUDES(mu_);

  // The views: |each| for every live entry in the order of creation, then
  // |retired| for the counts of every UDP redirector that is gone or going,
  // all under one hold of the lock, so that each redirector is counted
  // exactly once.
  void VisitClients(const std::function<void(const TClientEntry&)>& each) EXCLUDES(mu_);
  void VisitRedirectors(const std::function<void(const TRedirectorEntry&)>& each,
                        const std::function<void(const TRedirectorStats&)>& retired) EXCLUDES(mu_);

 private:
  using TRedirectors = std::list<std::unique_ptr<TRedirectorEntry>>;

  // Runs on the redirector's loop (or wherever it may be ended).
  void Finish(std::unique_ptr<TRedirectorEntry> entry, const std::string& why) EXCLUDES(mu_);

  TServerMetrics& metrics_;
  TAddressCounter by_owner_;  // thread-safe on its own
  TMutex mu_;
  std::list<std::unique_ptr<TClientEntry>> ClientList GUARDED_BY(mu_);
  std::unordered_map<const TClientEntry*, std::list<std::unique_ptr<TClientEntry>>::iterator> clients_
      GUARDED_BY(mu_);
  TRedirectors RedirectorList GUARDED_BY(mu_);
  std::unordered_map<TRedirectorKey, TRedirectors::iterator, TRedirectorKeyHash> index_ GUARDED_BY(mu_);
  // Stats of UDP redirectors removed but not yet ended on their loop.
  std::vector<std::shared_ptr<TRedirectorStats>> retiring_ GUARDED_BY(mu_);
};

}  // namespace quorvane
