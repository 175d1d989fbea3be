// LitertChain over the LiteRT Python interpreter: the runtime adapter holds
// the GIL only around Python calls; runner inputs and outputs cross as NumPy
// arrays without copies.
#include "zephan2/inference/litert_chain.h"

#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>

#include "bindings/common/fspath.h"
#include "bindings/common/numpy.h"
#include "bindings/zephan2/module.h"
#include "zephan2/host/staging.h"
#include "zephan2/messages.h"

namespace halvane::zephan2::py {

using halvane::py::tensor_from_numpy;
using halvane::py::tensor_to_numpy;

namespace {

// Python objects owned by C++ objects that may be dropped without the GIL.
struct GilObject {
  nb::object obj;
  explicit GilObject(nb::object o) : obj(std::move(o)) {}
  ~GilObject() {
    nb::gil_scoped_acquire gil;
    obj.reset();
  }
};

class PyRunner final : public SignatureRunner {
 public:
  explicit PyRunner(nb::object r) : r_(std::move(r)) {}

  std::vector<InputDetail> input_details() override {
    nb::gil_scoped_acquire gil;
    std::vector<InputDetail> out;
    nb::dict details = nb::cast<nb::dict>(r_.obj.attr("get_input_details")());
    for (auto [name, d] : details) {
      InputDetail in{nb::cast<std::string>(nb::str(name)), {}};
      for (nb::handle v : nb::iter(d["shape"])) in.shape.push_back(nb::cast<int64_t>(nb::int_(v)));
      out.push_back(std::move(in));
    }
    return out;
  }

  Tensor run(const std::vector<std::pair<std::string, Tensor>>& inputs) override {
    nb::gil_scoped_acquire gil;
    nb::dict kw;
    for (const auto& [name, t] : inputs) kw[name.c_str()] = tensor_to_numpy(t);
    nb::object res = r_.obj(**kw);
    return tensor_from_numpy(res["output_0"]);
  }

  // The runner's own call, with the output read as a view of the
  // interpreter's buffer (the interpreter wrapper hands out a NumPy view of a
  // tensor of any subgraph) instead of a copy. A runtime whose runner lacks
  // the parts this needs gets the copying call.
  Tensor run_in_place(const std::vector<std::pair<std::string, Tensor>>& inputs) override {
    nb::gil_scoped_acquire gil;
    if (!in_place_.has_value()) in_place_ = bind_in_place();
    if (!*in_place_) return run(inputs);
    nb::object np = halvane::py::numpy();
    std::vector<std::pair<nb::object, nb::object>> args;  // (tensor index, array)
    for (const auto& [name, t] : inputs) {
      nb::object arr = tensor_to_numpy(t);
      nb::object index = inputs_.obj[name.c_str()];
      wrapper_.obj.attr("ResizeInputTensor")(index, np.attr("array")(arr.attr("shape"), "int32"), false, subgraph_);
      args.emplace_back(std::move(index), std::move(arr));
    }
    wrapper_.obj.attr("AllocateTensors")(subgraph_);
    for (const auto& [index, arr] : args) wrapper_.obj.attr("SetTensor")(index, arr, subgraph_);
    wrapper_.obj.attr("Invoke")(subgraph_);
    return tensor_from_numpy(wrapper_.obj.attr("tensor")(wrapper_.obj, output_, subgraph_));
  }

  std::optional<Tensor> input_view(const std::string& name, const std::vector<int64_t>& shape) override {
    nb::gil_scoped_acquire gil;
    if (!in_place_.has_value()) in_place_ = bind_in_place();
    if (!*in_place_) return std::nullopt;
    nb::object index = inputs_.obj[name.c_str()];
    nb::object dims = halvane::py::numpy().attr("array")(nb::cast(shape), "int32");
    wrapper_.obj.attr("ResizeInputTensor")(index, dims, false, subgraph_);
    wrapper_.obj.attr("AllocateTensors")(subgraph_);
    Tensor view = tensor_from_numpy(wrapper_.obj.attr("tensor")(wrapper_.obj, index, subgraph_));
    if (!view.writeable || view.shape != shape) return std::nullopt;
    return view;
  }

  Tensor run_prepared() override {
    nb::gil_scoped_acquire gil;
    wrapper_.obj.attr("Invoke")(subgraph_);
    return tensor_from_numpy(wrapper_.obj.attr("tensor")(wrapper_.obj, output_, subgraph_));
  }

 private:
  bool bind_in_place() {
    try {
      wrapper_.obj = r_.obj.attr("_interpreter_wrapper");
      inputs_.obj = r_.obj.attr("_inputs");
      subgraph_ = nb::cast<int64_t>(r_.obj.attr("_subgraph_index"));
      for (nb::handle item : r_.obj.attr("_outputs"))
        if (nb::cast<std::string>(nb::str(item[0])) == "output_0") output_ = nb::cast<int64_t>(item[1]);
      return output_ >= 0 && nb::hasattr(wrapper_.obj, "tensor");
    } catch (const nb::python_error&) {
      return false;
    } catch (const nb::cast_error&) {
      return false;
    }
  }

  GilObject r_;
  GilObject wrapper_{nb::object()}, inputs_{nb::object()};
  std::optional<bool> in_place_;
  int64_t subgraph_ = 0, output_ = -1;
};

class PyInterpreter final : public ModelInterpreter {
 public:
  explicit PyInterpreter(nb::object it) : it_(std::move(it)) {}

  std::vector<std::string> signature_list() override {
    nb::gil_scoped_acquire gil;
    std::vector<std::string> names;
    for (nb::handle k : nb::iter(it_.obj.attr("get_signature_list")())) names.push_back(nb::cast<std::string>(nb::str(k)));
    return names;
  }

  std::shared_ptr<SignatureRunner> runner(const std::string& name) override {
    nb::gil_scoped_acquire gil;
    return std::make_shared<PyRunner>(it_.obj.attr("get_signature_runner")(name));
  }

 private:
  GilObject it_;
};

// The model path as the interpreter takes it: text when it is UTF-8, else its
// bytes (the interpreter refuses text holding escaped bytes).
nb::object model_path_arg(const std::string& path) {
  PyObject* t = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), nullptr);
  if (t) return nb::steal(t);
  PyErr_Clear();
  return nb::bytes(path.data(), path.size());
}

}  // namespace

ModelRuntime litert_runtime() {
  ModelRuntime rt;
  rt.open = [](const std::string& path, int64_t threads) -> std::shared_ptr<ModelInterpreter> {
    nb::gil_scoped_acquire gil;
    nb::object cls = nb::module_::import_("ai_edge_litert.interpreter").attr("Interpreter");
    nb::object it = cls(nb::arg("model_path") = model_path_arg(path), nb::arg("num_threads") = threads);
    it.attr("allocate_tensors")();
    return std::make_shared<PyInterpreter>(std::move(it));
  };
  rt.release_staged = [](const std::vector<std::string>& paths) { release_staged(paths); };
  return rt;
}

namespace {

std::vector<std::string> path_list(nb::handle paths) {
  nb::object path_like = nb::module_::import_("os").attr("PathLike");
  std::vector<std::string> out;
  if (nb::isinstance<nb::str>(paths) || PyObject_IsInstance(paths.ptr(), path_like.ptr()) == 1) {
    out.push_back(halvane::py::fs_bytes(paths));
  } else {
    for (nb::handle p : nb::iter(paths)) out.push_back(halvane::py::fs_bytes(p));
  }
  return out;
}

// One-input chain operation run without the GIL, result as a NumPy array.
nb::object run_released(const LitertChain& c, Tensor (LitertChain::*op)(const Tensor&) const, nb::handle arg) {
  Tensor in = tensor_from_numpy(arg), out;
  {
    nb::gil_scoped_release released;
    out = (c.*op)(in);
  }
  return tensor_to_numpy(out);
}

}  // namespace

void bind_litert_chain(nb::module_& m) {
  nb::class_<LitertChain>(m, "LitertChain")
      .def(
          "__init__",
          [](LitertChain* self, nb::handle tflite_paths, nb::handle canon, int64_t threads) {
            new (self) LitertChain(path_list(tflite_paths), tensor_from_numpy(canon), threads, litert_runtime());
          },
          nb::arg("tflite_paths"), nb::arg("canon"), nb::arg("threads"))
      .def_prop_ro("_hist_key", &LitertChain::hist_key)
      .def_prop_ro("_atok_key", &LitertChain::atok_key)
      .def_prop_ro("canon", [](const LitertChain& c) { return tensor_to_numpy(c.canon()); })
      .def_prop_ro("_paths", &LitertChain::paths)
      .def("new_hist", [](const LitertChain& c) { return tensor_to_numpy(c.new_hist()); })
      .def_static(
          "shift_hist",
          [](nb::handle h, nb::handle lat) {
            nb::ndarray<float, nb::c_contig, nb::device::cpu> view;
            if (!nb::try_cast(h, view, false))
              throw halvane::ValueError(msg::kHistoryWriteable);
            Tensor ht = tensor_from_numpy(h), lt = tensor_from_numpy(lat);
            nb::gil_scoped_release unlocked;
            LitertChain::shift_hist(ht, lt);
          },
          nb::arg("h"), nb::arg("lat"))
      .def(
          "run_enc", [](const LitertChain& c, nb::handle tempo) { return run_released(c, &LitertChain::run_enc, tempo); },
          nb::arg("tempo"))
      .def(
          "run_tok", [](const LitertChain& c, nb::handle feats) { return run_released(c, &LitertChain::run_tok, feats); },
          nb::arg("feats"))
      .def(
          "run_step",
          [](const LitertChain& c, nb::handle hist, nb::handle atok) {
            Tensor h = tensor_from_numpy(hist), a = tensor_from_numpy(atok), out;
            {
              nb::gil_scoped_release unlocked;
              out = c.run_step(h, a);
            }
            return tensor_to_numpy(out);
          },
          nb::arg("hist"), nb::arg("atok"))
      .def(
          "run_dec_frames",
          [](const LitertChain& c, nb::handle xs, int64_t n) {
            Tensor t = tensor_from_numpy(xs);
            std::vector<Tensor> frames;
            {
              nb::gil_scoped_release unlocked;
              frames = c.run_dec_frames(t, n);
            }
            nb::list out;
            for (const Tensor& f : frames) out.append(tensor_to_numpy(f));
            return out;
          },
          nb::arg("xs"), nb::arg("n"))
      .def(
          "run_dec_batch",
          [](const LitertChain& c, nb::handle xs, int64_t n) {
            Tensor t = tensor_from_numpy(xs), out;
            {
              nb::gil_scoped_release unlocked;
              out = c.run_dec_batch(t, n);
            }
            return tensor_to_numpy(out);
          },
          nb::arg("xs"), nb::arg("n"));
}

}  // namespace halvane::zephan2::py
