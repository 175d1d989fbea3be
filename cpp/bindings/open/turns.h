// What every engine kind gets from the render loop, whatever drives it: one
// engine call at a time per avatar (its RenderTurns), waits that end for a
// signal, for a stale render or for the interpreter's exit, and an exit that
// lets the renders in flight end while their threads can still run.
//
// Once the interpreter finalises, a thread that takes the interpreter lock
// back is ended by a forced unwind; nanobind's call dispatcher catches that
// and aborts the process. So the module's exit hook (run_down) marks the
// interpreter as exiting, waits until no render step is under way, and from
// then on a render step returns at once, calls nothing and lets go of
// nothing (a finaliser could run Python code on a thread about to stop).
//
// Threading: every member is called with the interpreter lock held; the
// waits let go of it.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "open/render_turns.h"

namespace halvane::open::py {

namespace nb = nanobind;

struct RunDown {
  std::atomic<bool> exiting{false};
  std::atomic<int> steps{0};  // render steps under way, on any thread
  std::mutex m;
  std::condition_variable turn_given;  // a turn was given back, or the exit began
};

inline RunDown& run_down_state() {
  static RunDown r;
  return r;
}

inline bool interpreter_exiting() { return run_down_state().exiting.load(std::memory_order_relaxed); }

inline RenderTurns::Thread this_thread() { return PyThread_get_thread_ident(); }

// One step of a render, counted for the exit hook; it also tells the waits of
// the engines it calls which render they work for.
class RenderStep {
 public:
  RenderStep(const RenderTurns* turns, const RenderTurns::Id* id) : outer_(inner()), self_{turns, id} {
    ++run_down_state().steps;
    inner() = &self_;
  }
  ~RenderStep() {
    inner() = outer_;
    --run_down_state().steps;
  }
  RenderStep(const RenderStep&) = delete;
  RenderStep& operator=(const RenderStep&) = delete;

  // Whether the render this thread steps may not drive its engine any more.
  static bool stale_here() {
    const Self* s = inner();
    return s && s->turns && *s->id != 0 && s->turns->stale(*s->id) != RenderTurns::Stale::no;
  }

 private:
  struct Self {
    const RenderTurns* turns;
    const RenderTurns::Id* id;
  };
  static const Self*& inner() {
    static thread_local const Self* s = nullptr;
    return s;
  }
  const Self* outer_;
  Self self_;
};

// In an engine's wait, with the interpreter lock: a pending signal's handler
// runs (its error is raised); true when the wait should end: the render it
// works for went stale, or the interpreter is exiting.
inline bool wait_should_end() {
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
  return interpreter_exiting() || RenderStep::stale_here();
}

// The pause of an engine's wait, without the interpreter lock.
inline void pause_unlocked(std::chrono::microseconds d) {
  nb::gil_scoped_release unlocked;
  std::unique_lock<std::mutex> lk(run_down_state().m);
  run_down_state().turn_given.wait_for(lk, d);
}

// The avatar's turn held for one engine call; waited for when another thread
// holds it (signals still run). `interrupt` performs an interrupt that a
// finaliser owed, once the turn is given back.
template <class Interrupt>
class EngineTurn {
 public:
  EngineTurn(RenderTurns& turns, Interrupt interrupt) : turns_(turns), interrupt_(interrupt) {
    const RenderTurns::Thread me = this_thread();
    while (!turns_.take(me)) {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      pause_unlocked(std::chrono::milliseconds(20));  // a lost wake-up costs one pause at most
    }
  }
  ~EngineTurn() {
    if (turns_.give(this_thread())) {
      // The turn is taken again for it: nobody enters the engine meanwhile.
      turns_.take(this_thread());
      interrupt_();
      turns_.give(this_thread());
    }
    { std::lock_guard<std::mutex> lk(run_down_state().m); }
    run_down_state().turn_given.notify_all();
  }
  EngineTurn(const EngineTurn&) = delete;
  EngineTurn& operator=(const EngineTurn&) = delete;

 private:
  RenderTurns& turns_;
  Interrupt interrupt_;
};

}  // namespace halvane::open::py
