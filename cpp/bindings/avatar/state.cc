// AsyncAvatar's constructor: the queues, events and empty state of a session
// without a model, at an output size checked before anything else is made
// (create() constructs before it loads, so it refuses the same sizes first).
#include <optional>

#include "avatar/settings.h"
#include "bindings/avatar/messages.h"
#include "bindings/avatar/session.h"

namespace halvane::avatar::py {

namespace {

// The facts output_size() (avatar/settings.h) asks of the argument: two
// members of a sequence that is no text (a tuple, a list, an array), each an
// int or a NumPy integer (a truth value is no size).
struct SizeProbe {
  nb::handle size;
  nb::object sides[2];  // the members, then each as an int

  bool none() const { return size.is_none(); }
  bool pair() {
    PyObject* o = size.ptr();
    if (!PySequence_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) ||
        PyMemoryView_Check(o))
      return false;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw nb::python_error();
    if (n != 2) return false;
    for (Py_ssize_t i = 0; i < 2; ++i) sides[i] = check(PySequence_GetItem(o, i));
    return true;
  }
  std::optional<int64_t> side(int i) {
    PyObject* v = sides[i].ptr();
    if (PyBool_Check(v) || is_instance(v, env().np.attr("bool_")) || !PyIndex_Check(v)) return std::nullopt;
    // An array says it is an index and then refuses unless it holds one integer.
    PyObject* index = PyNumber_Index(v);
    if (index == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
      PyErr_Clear();
      return std::nullopt;
    }
    sides[i] = nb::steal(index);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(sides[i].ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return std::nullopt;
    return x;
  }
};

// None, or the size as a tuple of two ints; ValueError naming any other.
nb::object checked_output_size(nb::handle size) {
  SizeProbe p{size};
  switch (output_size(p)) {
    case OutputSize::native:
      return nb::none();
    case OutputSize::composed:
      return nb::make_tuple(p.sides[0], p.sides[1]);
    case OutputSize::refused:
      break;
  }
  raise_error(PyExc_ValueError,
              check(PyUnicode_FromFormat(msg::kBadOutputSize, static_cast<long long>(kMaxFrameSide), size.ptr())));
}

void init(nb::handle self, nb::handle input_buffer_size, nb::handle output_buffer_size, nb::handle output_size,
          nb::handle num_threads) {
  Env& e = env();
  const Session s(self);
  nb::object size = checked_output_size(output_size);
  s.set_num_threads(num_threads);
  s.set_output_size(size);
  s.set_fixture(nb::none());
  s.set_runtime(nb::none());
  s.set_model_path(nb::none());
  s.set_in_queue(e.Queue(nb::arg("maxsize") = input_buffer_size));
  s.set_out_queue(e.Queue(nb::arg("maxsize") = output_buffer_size));
  s.set_producer_task(nb::none());
  s.set_running(false);
  s.set_stop_event(e.Event());
  s.set_interrupt_event(e.Event());
  s.set_audio_queued(nb::none());
  s.set_sync_pend(nb::module_::import_("collections").attr("deque")());
  s.set_stream_pushed(0);
  s.set_engine_executor(nb::none());
  s.set_playout(nb::none());
  s.set_emitter_task(nb::none());
  s.set_playout_reset(false);
  s.set_interrupts(0);
}

}  // namespace

void add_state(Members& ns) {
  using namespace nb::literals;
  ns["__init__"] = method(&init, nb::kw_only(), "input_buffer_size"_a = 0, "output_buffer_size"_a = 6,
                          "output_size"_a.none() = nb::make_tuple(1280, 720), "num_threads"_a = 0,
                          nb::sig("def __init__(self, *, input_buffer_size: int = 0, output_buffer_size: int = 6, "
                                  "output_size: tuple[int, int] | None = (1280, 720), num_threads: int = 0) -> None"),
                          "A session without a model; AsyncAvatar.create() makes one with its model loaded.");
}

}  // namespace halvane::avatar::py
