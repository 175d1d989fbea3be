"""Generate tiny, real LiteRT models for exercising the pipeline without trained weights.

The graphs are written directly as flatbuffers through the schema module that ships
with the runtime, so producing them needs only ai-edge-litert, flatbuffers and numpy.
They behave plausibly rather than realistically: the encoder measures loudness, the
step model opens a dark mouth ellipse in proportion to that loudness, and the
decoders blend the two latents by phase and upsample the picture 8x.

The int8-decoder variant of the combined model ("combined_litert_q8gd.tflite",
build_q8gd_model) has the same signatures; its decoders round the blended small
picture through int8 (QUANTIZE -> DEQUANTIZE, steps of 1/255) before the
upsample, so its frames look the same but are not bit-identical.
write_q8gd_bundle writes a directory bundle carrying both and a manifest that
binds the variant (q8gd_manifest).

Usage: python tools/make_fixture_models.py OUT_DIR

Signatures (all float32; inputs "args_0"/"args_1", output "output_0"):
  enc     args_0 (1, 35200) audio                 -> (1, 14) RMS per 2560-sample row
  tok14   args_0 (1, 14) enc output               -> (14, 16, 384) row r filled with loudness r
  step    args_0 (1, 16, 16, 90, 52) history,
          args_1 (1, 16, 384) token group          -> (1, 16, 90, 52) next latent
  dec16   args_0 (16, 36, 90, 52)                  -> (16, 3, 720, 416)
  dec8    args_0 (8, 36, 90, 52)                   -> (8, 3, 720, 416)

Latent channels: 0..2 displayed picture (RGB, 0..1), 3..5 the closed-mouth rest
picture, 6..15 a faint pattern that is carried along untouched.
"""

from __future__ import annotations

import functools
import hashlib
import json
import sys
from pathlib import Path

import flatbuffers
import numpy as np
from ai_edge_litert import schema_py_generated as tfl

LC, LH, LW = 16, 90, 52
CTX, NA, CA = 16, 16, 384
FH, FW = 720, 416
TEMPO_SAMPLES = 35200
ENC_ROWS, ENC_ROW_SAMPLES = 14, 2560

# Face geometry on the 90x52 latent grid, as (y, x) centres and (ry, rx) radii.
FACE_CENTER, FACE_RADII = (45.0, 26.0), (37.6, 21.6)
MOUTH_CENTER, MOUTH_RADII = (66.0, 26.0), (6.0, 9.0)
MOUTH_GAIN = 2.0  # speech RMS after the x3 pre-gain spans ~0-0.6: loud syllables open fully, pauses close
MOUTH_EDGE = 4.0  # steepness of the opening's soft edge
MOUTH_DARK = (0.22, 0.04, 0.05)
Q8_SCALE, Q8_ZERO = 1.0 / 255.0, -128  # int8 picture: 0..1 onto -128..127


class _AlignedBufferT(tfl.BufferT):
    """Constant data aligned to 16 bytes so the runtime can use it in place."""

    def Pack(self, builder):
        if self.data is not None:
            builder.Prep(16, len(self.data))
        return super().Pack(builder)


class _ModelBuilder:
    """Holds what subgraphs share: buffers and operator codes."""

    def __init__(self):
        self.buffers = [tfl.BufferT()]  # buffer 0 is the runtime's empty sentinel
        self.opcodes: dict[int, int] = {}
        self.subgraphs: list[tfl.SubGraphT] = []
        self.signatures: list[tfl.SignatureDefT] = []

    def opcode(self, code: int) -> int:
        return self.opcodes.setdefault(code, len(self.opcodes))

    def buffer(self, data: np.ndarray) -> int:
        self.buffers.append(_AlignedBufferT(data=np.frombuffer(data.tobytes(), np.uint8)))
        return len(self.buffers) - 1

    def to_bytes(self) -> bytes:
        codes = sorted(self.opcodes, key=self.opcodes.get)
        model = tfl.ModelT(
            version=3,
            description="halvane fixture",
            operatorCodes=[
                tfl.OperatorCodeT(deprecatedBuiltinCode=min(c, 127), builtinCode=c, version=1)
                for c in codes
            ],
            subgraphs=self.subgraphs,
            buffers=self.buffers,
            signatureDefs=self.signatures,
        )
        builder = flatbuffers.Builder(1 << 16)
        builder.Finish(model.Pack(builder), file_identifier=b"TFL3")
        return bytes(builder.Output())


class Graph:
    """One subgraph under construction; each signature gets its own."""

    _DTYPES = {np.dtype(np.float32): tfl.TensorType.FLOAT32, np.dtype(np.int32): tfl.TensorType.INT32,
               np.dtype(np.int8): tfl.TensorType.INT8}

    def __init__(self, model: _ModelBuilder, key: str):
        self.model, self.key = model, key
        self.tensors: list[tfl.TensorT] = []
        self.operators: list[tfl.OperatorT] = []
        self.inputs: dict[str, int] = {}

    def _tensor(self, shape, dtype, name, buffer=0, quant=None) -> int:
        """quant: (scale, zero_point) of a quantized tensor."""
        params = None if quant is None else tfl.QuantizationParametersT(scale=[quant[0]], zeroPoint=[quant[1]])
        self.tensors.append(tfl.TensorT(
            shape=list(shape), type=self._DTYPES[np.dtype(dtype)], buffer=buffer,
            name=f"{self.key}/{name}:{len(self.tensors)}", quantization=params))
        return len(self.tensors) - 1

    def input(self, name: str, shape) -> int:
        self.inputs[name] = self._tensor(shape, np.float32, name)
        return self.inputs[name]

    def const(self, value, dtype=np.float32, name="const") -> int:
        arr = np.ascontiguousarray(value, dtype=np.dtype(dtype).newbyteorder("<"))
        return self._tensor(arr.shape, dtype, name, self.model.buffer(arr))

    def ints(self, values) -> int:
        return self.const(values, np.int32, "ints")

    def op(self, code: int, inputs, out_shape, options=None, name=None, dtype=np.float32, quant=None) -> int:
        out = self._tensor(out_shape, dtype, name or f"op{len(self.operators)}", quant=quant)
        opt_type = tfl.BuiltinOptions.NONE
        if options is not None:
            opt_type = getattr(tfl.BuiltinOptions, type(options).__name__[:-1])
        self.operators.append(tfl.OperatorT(
            opcodeIndex=self.model.opcode(code), inputs=list(inputs), outputs=[out],
            builtinOptionsType=opt_type, builtinOptions=options))
        return out

    # Thin wrappers for the ops used below; out_shape is what the runtime will infer.
    def reshape(self, x, shape):
        return self.op(tfl.BuiltinOperator.RESHAPE, [x, self.ints(shape)], shape,
                       tfl.ReshapeOptionsT(newShape=list(shape)))

    def binary(self, code, a, b, out_shape):
        opts = {tfl.BuiltinOperator.ADD: tfl.AddOptionsT, tfl.BuiltinOperator.SUB: tfl.SubOptionsT,
                tfl.BuiltinOperator.MUL: tfl.MulOptionsT,
                tfl.BuiltinOperator.MINIMUM: tfl.MaximumMinimumOptionsT}[code]()
        return self.op(code, [a, b], out_shape, opts)

    def reduce(self, code, x, axes, out_shape, keep_dims):
        return self.op(code, [x, self.ints(axes)], out_shape, tfl.ReducerOptionsT(keepDims=keep_dims))

    def slice(self, x, begin, size):
        return self.op(tfl.BuiltinOperator.SLICE, [x, self.ints(begin), self.ints(size)], size,
                       tfl.SliceOptionsT())

    def transpose(self, x, perm, out_shape):
        return self.op(tfl.BuiltinOperator.TRANSPOSE, [x, self.ints(perm)], out_shape,
                       tfl.TransposeOptionsT())

    def finish(self, outputs: dict[str, int]):
        index = len(self.model.subgraphs)
        self.model.subgraphs.append(tfl.SubGraphT(
            tensors=self.tensors, inputs=list(self.inputs.values()), outputs=list(outputs.values()),
            operators=self.operators, name=self.key))
        self.model.signatures.append(tfl.SignatureDefT(
            signatureKey=self.key, subgraphIndex=index,
            inputs=[tfl.TensorMapT(name=n, tensorIndex=i) for n, i in self.inputs.items()],
            outputs=[tfl.TensorMapT(name=n, tensorIndex=i) for n, i in outputs.items()]))


OP = tfl.BuiltinOperator


def build_enc(g: Graph) -> None:
    audio = g.input("args_0", (1, TEMPO_SAMPLES))
    pad = ENC_ROWS * ENC_ROW_SAMPLES - TEMPO_SAMPLES
    x = g.op(OP.PAD, [audio, g.ints([[0, 0], [0, pad]])], (1, ENC_ROWS * ENC_ROW_SAMPLES),
             tfl.PadOptionsT())
    x = g.reshape(x, (1, ENC_ROWS, ENC_ROW_SAMPLES))
    x = g.binary(OP.MUL, x, x, (1, ENC_ROWS, ENC_ROW_SAMPLES))
    x = g.reduce(OP.MEAN, x, [2], (1, ENC_ROWS), keep_dims=False)
    g.finish({"output_0": g.op(OP.SQRT, [x], (1, ENC_ROWS))})


def build_tok14(g: Graph) -> None:
    feats = g.input("args_0", (1, ENC_ROWS))
    x = g.reshape(feats, (ENC_ROWS, 1, 1))
    ones = g.const(np.ones((1, NA, CA)))
    g.finish({"output_0": g.binary(OP.MUL, x, ones, (ENC_ROWS, NA, CA))})


def mouth_planes() -> tuple[np.ndarray, np.ndarray]:
    """A and D for open = clip(o*A - D, 0, 1): a soft ellipse whose area grows with o.

    With r2 the squared elliptical distance from the mouth centre, A = EDGE and
    D = EDGE * r2 give open = clip(EDGE * (o - r2), 0, 1): the mouth is touched where
    r2 < o, fully dark where r2 <= o - 1/EDGE, and since o <= 1 nothing outside the
    unit ellipse ever changes.
    """
    y, x = np.mgrid[0:LH, 0:LW].astype(np.float32)
    r2 = ((y - MOUTH_CENTER[0]) / MOUTH_RADII[0]) ** 2 + ((x - MOUTH_CENTER[1]) / MOUTH_RADII[1]) ** 2
    a = np.full((1, 1, LH, LW), MOUTH_EDGE, np.float32)
    return a, (MOUTH_EDGE * r2).reshape(1, 1, LH, LW).astype(np.float32)


def build_step(g: Graph, swap_inputs: bool = False) -> None:
    """Next latent from the newest history slot and one token group.

    swap_inputs names the token group "args_0" and the history "args_1", which some
    exporters produce; callers must tell them apart by shape.
    """
    hist_shape, tok_shape = (1, LC, CTX, LH, LW), (1, NA, CA)
    if swap_inputs:
        tok = g.input("args_0", tok_shape)
        hist = g.input("args_1", hist_shape)
    else:
        hist = g.input("args_0", hist_shape)
        tok = g.input("args_1", tok_shape)
    plane = (1, 1, LH, LW)
    prev = g.reshape(g.slice(hist, [0, 0, CTX - 1, 0, 0], [1, LC, 1, LH, LW]), (1, LC, LH, LW))
    loud = g.reshape(g.reduce(OP.MEAN, tok, [1, 2], (1, 1, 1), keep_dims=True), (1, 1, 1, 1))
    o = g.binary(OP.MINIMUM, g.binary(OP.MUL, loud, g.const(np.full((1, 1, 1, 1), MOUTH_GAIN)),
                                      (1, 1, 1, 1)), g.const(np.ones((1, 1, 1, 1))), (1, 1, 1, 1))
    a_plane, d_plane = mouth_planes()
    opening = g.binary(OP.SUB, g.binary(OP.MUL, o, g.const(a_plane), plane), g.const(d_plane), plane)
    opening = g.op(OP.RELU, [opening], plane)
    opening = g.binary(OP.MINIMUM, opening, g.const(np.ones(plane)), plane)
    rest = g.slice(prev, [0, 3, 0, 0], [1, 3, LH, LW])
    dark = g.const(np.asarray(MOUTH_DARK).reshape(1, 3, 1, 1))
    toward_dark = g.binary(OP.MUL, g.binary(OP.SUB, dark, rest, (1, 3, LH, LW)), opening, (1, 3, LH, LW))
    shown = g.binary(OP.ADD, rest, toward_dark, (1, 3, LH, LW))
    carried = g.slice(prev, [0, 3, 0, 0], [1, LC - 3, LH, LW])
    out = g.op(OP.CONCATENATION, [shown, carried], (1, LC, LH, LW), tfl.ConcatenationOptionsT(axis=1))
    g.finish({"output_0": out})


def build_dec(g: Graph, batch: int, q8: bool = False) -> None:
    """q8 rounds the blended small picture through int8 before the upsample."""
    rows = g.input("args_0", (batch, 2 * LC + 4, LH, LW))
    small = (batch, 3, LH, LW)
    zt = g.slice(rows, [0, 0, 0, 0], list(small))
    zp = g.slice(rows, [0, LC, 0, 0], list(small))
    phase = g.slice(rows, [0, 2 * LC, 0, 0], [batch, 4, LH, LW])
    weights = g.const(np.array([0.25, 0.5, 0.75, 1.0]).reshape(1, 4, 1, 1))
    w = g.reduce(OP.SUM, g.binary(OP.MUL, phase, weights, (batch, 4, LH, LW)), [1],
                 (batch, 1, LH, LW), keep_dims=True)
    blend = g.binary(OP.MUL, g.binary(OP.SUB, zt, zp, small), w, small)
    pic = g.binary(OP.ADD, zp, blend, small)
    if q8:
        pic = g.op(OP.QUANTIZE, [pic], small, tfl.QuantizeOptionsT(), dtype=np.int8, quant=(Q8_SCALE, Q8_ZERO))
        pic = g.op(OP.DEQUANTIZE, [pic], small, tfl.DequantizeOptionsT())
    pic = g.transpose(pic, [0, 2, 3, 1], (batch, LH, LW, 3))
    big = g.op(OP.RESIZE_BILINEAR, [pic, g.ints([FH, FW])], (batch, FH, FW, 3),
               tfl.ResizeBilinearOptionsT(alignCorners=False, halfPixelCenters=True))
    g.finish({"output_0": g.transpose(big, [0, 3, 1, 2], (batch, 3, FH, FW))})


BUILDERS = {
    "enc": build_enc,
    "tok14": build_tok14,
    "step": build_step,
    "dec16": functools.partial(build_dec, batch=16),
    "dec8": functools.partial(build_dec, batch=8),
}


def build_model(signatures) -> bytes:
    """Serialize a model with one subgraph per signature, in the order given.

    Each entry is a key of BUILDERS or a (key, build_fn) pair, so variants such as
    build_model(["enc", ("step", functools.partial(build_step, swap_inputs=True))])
    or an extra signature reusing another builder are one line.
    """
    model = _ModelBuilder()
    for entry in signatures:
        key, fn = (entry, BUILDERS[entry]) if isinstance(entry, str) else entry
        fn(Graph(model, key))
    return model.to_bytes()


def _ellipse(y, x, center, radii):
    return ((y - center[0]) / radii[0]) ** 2 + ((x - center[1]) / radii[1]) ** 2 <= 1.0


def canon_latent() -> np.ndarray:
    """The (16, 90, 52) float32 starting latent: a simple face with a closed mouth."""
    y, x = np.mgrid[0:LH, 0:LW].astype(np.float32)
    pic = np.empty((LH, LW, 3), np.float32)
    pic[:] = (0.30, 0.36, 0.46)
    pic[_ellipse(y, x, FACE_CENTER, FACE_RADII)] = (0.93, 0.76, 0.63)
    for ex in (17.0, 35.0):
        pic[_ellipse(y, x, (36.0, ex), (2.5, 4.5))] = (0.97, 0.97, 0.95)
        pic[_ellipse(y, x, (36.0, ex), (1.6, 1.6))] = (0.12, 0.10, 0.10)
        pic[(np.abs(y - 30.0) <= 0.5) & (np.abs(x - ex) <= 5.0)] = (0.35, 0.22, 0.15)
    pic[(np.abs(y - 50.0) <= 0.5) & (np.abs(x - 26.0) <= 2.0)] = (0.80, 0.62, 0.52)
    pic[(np.abs(y - MOUTH_CENTER[0]) <= 0.5) & (np.abs(x - MOUTH_CENTER[1]) <= 7.0)] = (0.62, 0.26, 0.27)

    latent = np.zeros((LC, LH, LW), np.float32)
    latent[0:3] = latent[3:6] = pic.transpose(2, 0, 1)
    c = np.arange(6, LC, dtype=np.float32)[:, None, None]
    latent[6:] = 0.02 * ((c * 7 + y * 3 + x) % 11) / 10
    return latent


MODEL_FILES = {
    "combined_litert.tflite": ["enc", "tok14", "step", "dec16", "dec8"],
    "shared-enc.tflite": ["enc", "tok14"],
    "identity.tflite": ["step", "dec16", "dec8"],
}


Q8GD_MEMBER = "combined_litert_q8gd.tflite"
Q8GD_SIGNATURES = [
    "enc", "tok14", "step",
    ("dec16", functools.partial(build_dec, batch=16, q8=True)),
    ("dec8", functools.partial(build_dec, batch=8, q8=True)),
]


def build_q8gd_model() -> bytes:
    """The combined model with int8 decoders."""
    return build_model(Q8GD_SIGNATURES)


def q8gd_manifest(combined_bytes: bytes, q8_bytes: bytes, runtime: str | None) -> dict:
    """A manifest binding the variant to this combined member; gated on `runtime` unless None."""
    base = hashlib.sha256(combined_bytes).hexdigest()
    sha = hashlib.sha256(q8_bytes).hexdigest()
    block = {"sha256": sha, "base_member": "combined_litert.tflite", "base_sha256": base}
    if runtime is not None:
        block["gate"] = {"runtime": runtime}
    return {
        "members_sha256": {"combined_litert.tflite": base, Q8GD_MEMBER: sha},
        "litert_q8gd": block,
    }


def write_q8gd_bundle(out_dir, runtime: str | None = None) -> dict[str, Path]:
    """A directory bundle: canon latent, combined model, its int8-decoder variant and a binding manifest."""
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    data = {
        "canon.bin": canon_latent().astype("<f4").tobytes(),
        "combined_litert.tflite": build_model(MODEL_FILES["combined_litert.tflite"]),
        Q8GD_MEMBER: build_q8gd_model(),
    }
    manifest = q8gd_manifest(data["combined_litert.tflite"], data[Q8GD_MEMBER], runtime)
    data["manifest.json"] = json.dumps(manifest, indent=2).encode()
    paths = {}
    for name, blob in data.items():
        paths[name] = out / name
        paths[name].write_bytes(blob)
    return paths


def write_fixture_models(out_dir) -> dict[str, Path]:
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name, sigs in MODEL_FILES.items():
        paths[name] = out / name
        paths[name].write_bytes(build_model(sigs))
    paths["canon.bin"] = out / "canon.bin"
    paths["canon.bin"].write_bytes(canon_latent().astype("<f4").tobytes())
    return paths


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: make_fixture_models.py OUT_DIR", file=sys.stderr)
        return 2
    for name, path in write_fixture_models(argv[0]).items():
        print(f"{path}  {path.stat().st_size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
