#pragma once

#include "runtime/UniqueFd.h"

namespace quorvane {

// Manual-reset event on an eventfd: Set() makes Fd() readable until Reset().
// Thread-safe; Set/Reset never block.
class TEvent {
 public:
  TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  void Set() const;
  void Reset() const;
  bool IsSet() const;

 private:
  TUniqueFd fd_;
};

}  // namespace quorvane
