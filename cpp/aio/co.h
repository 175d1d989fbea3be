// C++20 coroutines that run on an outside event loop, with no knowledge of
// the loop: Co<T>, a coroutine that returns a T, and AsyncGen<T>, one that
// yields T items and may await between them.
//
// A chain of frames awaiting one another runs until one of three things:
// the outermost frame finishes, an AsyncGen yields, or the innermost frame
// waits on something outside C++. In that last case the innermost frame's
// awaiter (a Waiter) records itself and its frame in the Root, which the
// driver of the outermost frame owns. The driver hands what the waiter needs
// to the loop; when the loop answers, the waiter takes the answer and the
// driver resumes the recorded frame. Frames await each other directly, by
// symmetric transfer, with nothing of the driver in between.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace halvane::aio {

// Something a frame waits on outside C++. What it is, and how it is
// answered, is the business of the driver that knows the loop.
class Waiter {
 public:
  virtual ~Waiter() = default;
};

// Where a chain of frames stopped to wait outside C++.
struct Root {
  Waiter* waiting = nullptr;     // the waiter the innermost frame stopped on
  std::coroutine_handle<> leaf;  // that frame

  void wait(Waiter* w, std::coroutine_handle<> h) {
    waiting = w;
    leaf = h;
  }
  // Resumes the frame that waited; returns when the chain stops again.
  void resume() {
    waiting = nullptr;
    std::exchange(leaf, {}).resume();
  }
};

// What every frame's promise has: the root of its chain, the frame awaiting
// it, and the error it ended with. Frames start suspended and run when they
// are first awaited or driven.
struct PromiseBase {
  Root* root = nullptr;
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  std::suspend_always initial_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }

  // At the end, control passes to the awaiting frame, or back to whoever
  // resumed the chain when there is none.
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      std::coroutine_handle<> c = h.promise().continuation;
      return c ? c : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
};

// The one owner of a coroutine frame: destroying it (or reset()) destroys the
// frame and what its locals hold, wherever the frame stands.
template <class Promise>
class OwnedFrame {
 public:
  using handle = std::coroutine_handle<Promise>;
  explicit OwnedFrame(handle h = {}) : h_(h) {}
  OwnedFrame(OwnedFrame&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  OwnedFrame& operator=(OwnedFrame&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  ~OwnedFrame() { reset(); }
  void reset() {
    if (h_) std::exchange(h_, {}).destroy();
  }
  handle get() const { return h_; }

 private:
  handle h_;
};

// A coroutine returning T. It owns its frame.
template <class T>
class [[nodiscard]] Co {
 public:
  struct promise_type : PromiseBase {
    std::optional<T> value;
    Co get_return_object() { return Co(std::coroutine_handle<promise_type>::from_promise(*this)); }
    template <class U>
    void return_value(U&& v) {
      value.emplace(std::forward<U>(v));
    }
  };
  using handle = std::coroutine_handle<promise_type>;


  // Destroys the frame (and what its locals hold) wherever it stands.
  void reset() { h_.reset(); }
  handle frame() const { return h_.get(); }

  // The finished frame's result; rethrows what it ended with.
  T take() {
    promise_type& p = h_.get().promise();
    if (p.error) std::rethrow_exception(p.error);
    return std::move(*p.value);
  }

  // co_await std::move(co) / co_await f(...) from another frame: the frame
  // runs in the awaiting frame's chain and hands control back when done.
  struct Awaiter {
    handle h;
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> caller) noexcept {
      h.promise().root = caller.promise().root;
      h.promise().continuation = caller;
      return h;
    }
    T await_resume() {
      promise_type& p = h.promise();
      if (p.error) std::rethrow_exception(p.error);
      return std::move(*p.value);
    }
  };
  Awaiter operator co_await() && noexcept { return Awaiter{h_.get()}; }

 private:
  explicit Co(handle h) : h_(h) {}
  OwnedFrame<promise_type> h_;
};

// A coroutine yielding T items (co_yield) that may await between them. The
// value of a co_yield expression is what the consumer sends in; an error
// the consumer throws in is raised there instead. It owns its frame.
template <class T>
class [[nodiscard]] AsyncGen {
 public:
  struct promise_type : PromiseBase {
    std::optional<T> item;  // yielded and not yet taken
    T sent{};               // what the pending co_yield gives back
    std::exception_ptr thrown;

    AsyncGen get_return_object() { return AsyncGen(std::coroutine_handle<promise_type>::from_promise(*this)); }
    void return_void() {}

    struct YieldAwaiter {
      promise_type& p;
      bool await_ready() noexcept { return false; }
      void await_suspend(std::coroutine_handle<>) noexcept {}
      T await_resume() {
        if (p.thrown) std::rethrow_exception(std::exchange(p.thrown, {}));
        return std::move(p.sent);
      }
    };
    template <class U>
    YieldAwaiter yield_value(U&& v) {
      item.emplace(std::forward<U>(v));
      return {*this};
    }
  };
  using handle = std::coroutine_handle<promise_type>;


  void reset() { h_.reset(); }
  handle frame() const { return h_.get(); }

 private:
  explicit AsyncGen(handle h) : h_(h) {}
  OwnedFrame<promise_type> h_;
};

}  // namespace halvane::aio
