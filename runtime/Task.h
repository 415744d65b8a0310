// TTask: a move-only callable, run at most once. Posted work often carries
// what it owns (a socket, a redirector), which std::function, being
// copyable, cannot hold.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quorvane {

class TTask {
 public:
  TTask() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TTask>>>
  TTask(F&& f)  // NOLINT(google-explicit-constructor): tasks are written as lambdas
      : body_(std::make_unique<TBody<std::decay_t<F>>>(std::forward<F>(f))) {}
  TTask(TTask&&) noexcept = default;
  TTask& operator=(TTask&&) noexcept = default;

  explicit operator bool() const { return body_ != nullptr; }
  // Runs the callable; what it captured is destroyed with the task.
  void operator()() { body_->Run(); }

 private:
  struct TBase {
    virtual ~TBase() = default;
    virtual void Run() = 0;
  };
  template <class F>
  struct TBody final : TBase {
    explicit TBody(F&& f) : Fn(std::move(f)) {}
    explicit TBody(const F& f) : Fn(f) {}
    void Run() override { Fn(); }
    F Fn;
  };
  std::unique_ptr<TBase> body_;
};

}  // namespace quorvane
