#include "runtime/Thread.h"

#include <cxxabi.h>

#include <cassert>
#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <utility>

#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {

TThread::TThread(std::size_t stack_size) : stack_size_(stack_size) {}

TThread::~TThread() {
  assert(!started_ || joined_);
  if (started_ && !joined_) {
    Terminate();
    pthread_join(handle_, nullptr);
  }
}

bool TThread::Resume() {
  if (started_ || !wake_.Valid()) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stack_size_ != 0) pthread_attr_setstacksize(&attr, stack_size_);
  const int rc = pthread_create(&handle_, &attr, &TThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  started_ = true;
  return true;
}

void TThread::Terminate() {
  if (terminated_.exchange(true, std::memory_order_acq_rel)) return;
  wake_.Set();
  TerminationRequested();
}

void TThread::WaitFor() {
  if (started_ && !joined_) {
    pthread_join(handle_, nullptr);
    joined_ = true;
  }
  if (on_terminate_) {
    auto handler = std::move(on_terminate_);
    on_terminate_ = nullptr;
    handler();
  }
}

std::string TThread::Name() const {
  if (!name_.empty()) return name_;
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : mangled;
  std::free(demangled);
  return name;
}

namespace {

// An exception ends its thread only, but not unnoticed: whatever the thread
// was serving has just gone away.
void ReportEscaped(const TThread& thread, const char* what) {
  try {
    LogError("Thread ", thread.Name(), " ended by an exception: ", what);
  } catch (...) {
    // Out of memory even for the line: the thread still has to end cleanly.
  }
}

}  // namespace

void* TThread::Entry(void* self) {
  auto* thread = static_cast<TThread*>(self);
  try {
    thread->Execute();
  } catch (const TSilentAbort&) {
    // Sessions catch their own; should one get here, it stays silent too.
  } catch (const std::exception& e) {
    ReportEscaped(*thread, e.what());
  } catch (...) {
    ReportEscaped(*thread, "unknown exception");
  }
  // Copy first: once finished_ is set the owner may reap and free us.
  std::shared_ptr<TEvent> signal = thread->end_signal_;
  thread->finished_.store(true, std::memory_order_release);
  if (signal) signal->Set();
  return nullptr;
}

}  // namespace quorvane
