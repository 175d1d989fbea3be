from typing import NamedTuple

import numpy


SR: int = 16000

SPF: int = 800

SPC: int = 25600

FPS: int = 20

WIN_SAMPLES: int = 44000

TEMPO_SAMPLES: int = 35200

CHUNK0_LAT: int = 6

STEADY_LAT: int = 8

STEADY_PX: int = 32

CHUNK0_PX: int = 21

PRESENT_DELAY_FRAMES: int = 1

LC: int = 16

LH: int = 90

LW: int = 52

CTX: int = 16

NA: int = 16

CA: int = 384

FH: int = 720

FW: int = 416

PLANE: int = 4680

SR_WSOLA_SEGMENT: int = 1312

SR_WSOLA_OVERLAP: int = 192

SR_WSOLA_SEARCH: int = 235

COLOR_MEMBER: str = 'color.json'

COLOR_ENV: str = 'ZEPHAN2_COLOR_CORRECT'

COLOR_LOG_PREFIX: str = 'colour-correct:'

RGB_THREADS_ENV: str = 'ZEPHAN2_RGB_THREADS'

COMBINED_MEMBER: str = 'combined_litert.tflite'

Q8GD_MEMBER: str = 'combined_litert_q8gd.tflite'

Q8GD_HEADER_KEY: str = 'litert_q8gd'

Q8GD_ENV: str = 'ZEPHAN2_Q8GD'

INT8_DOT_FLAGS: tuple = ('avx512_vnni', 'avx_vnni')

Q8GD_LOG: str = '[q8gd]'

def tempo_wsola(x: object, factor: float = 1.25) -> object:
    """Time-compress audio by `factor` without changing its pitch."""

def build_dec_inputs(lats: object, blk: int, prev_lat: object | None = None) -> tuple[object, int]:
    """Decoder input rows (n, 36, LH, LW) for one chunk's latents, and n."""

def effective_cpu_count() -> int:
    """
    Processors this process may use: system count, affinity mask and cgroup quota.
    """

def default_threads(n_interpreters: object = 1, requested: object | None = 0) -> int:
    """
    LiteRT interpreter thread count: requested, else LIBSTREAM_THREADS, else the usable processors (<= 24).
    """

class ColorCorrect:
    def __init__(self, kind: str, *, lut: object | None = None, gain: object | None = None, bias: object | None = None, source: str = '') -> None: ...

    @property
    def kind(self) -> str: ...

    @property
    def source(self) -> str: ...

    @property
    def lut(self) -> object: ...

    @property
    def gain(self) -> object: ...

    @property
    def bias(self) -> object: ...

    def apply(self, rgb: object) -> object:
        """Corrected copy of interleaved RGB pixels (uint8, last axis 3)."""

    def describe(self) -> str:
        """One line describing the correction."""

def color_descriptor(cc: ColorCorrect | None) -> object:
    """{'kind', 'sha256' of the table bytes} of a correction, or None."""

def parse_color_correct(*args, **kwargs) -> object:
    """
    parse_color_correct(raw, source='') -> (ColorCorrect or None, report): read color.json (bytes, text or a decoded value; None: absent).
    """

def px_to_rgb888(px_chw: object, cc: ColorCorrect | None = None) -> bytes:
    """
    Planar (3, 720, 416) frame in 0..1 -> RGB888 bytes, colour-corrected; the frame is left as it is.
    """

def px_to_rgb888_chunk(px: object, cc: ColorCorrect | None = None, threads: object = 1) -> object:
    """
    Frames -> uint8 (n, 720, 416, 3) on up to `threads` pool workers. Writeable float32 frames are scaled to 0..255 in place.
    """

def rgb_threads() -> int:
    """
    RGB conversion threads: ZEPHAN2_RGB_THREADS, else a third of the CPUs (1..8).
    """

class LitertChain:
    def __init__(self, tflite_paths: object, canon: object, threads: int) -> None: ...

    @property
    def canon(self) -> object: ...

    def new_hist(self) -> object: ...

    @staticmethod
    def shift_hist(h: object, lat: object) -> None: ...

    def run_enc(self, tempo: object) -> object: ...

    def run_tok(self, feats: object) -> object: ...

    def run_step(self, hist: object, atok: object) -> object: ...

    def run_dec_frames(self, xs: object, n: int) -> list: ...

    def run_dec_batch(self, xs: object, n: int) -> object: ...

class RenderedFrame(NamedTuple):
    index: int
    pixels: numpy.ndarray

class Renderer:
    def __init__(self, chain: LitertChain, cc: ColorCorrect | None = None) -> None: ...

    def feed(self, pcm: object) -> None: ...

    def ready_chunks(self) -> list: ...

    def flush_chunks(self) -> list: ...

    def reset(self) -> None: ...

    def rtf(self) -> float | None: ...

    @property
    def chain(self) -> LitertChain: ...

    @property
    def cc(self) -> ColorCorrect: ...

    @property
    def rgb_threads(self) -> int: ...

    @property
    def buf(self) -> object: ...

    @property
    def buf_base(self) -> int: ...

    @property
    def fed_samples(self) -> int: ...

    @property
    def ci(self) -> int: ...

    @property
    def hist(self) -> object: ...

    @property
    def prev_lat(self) -> object: ...

    @property
    def px_frame(self) -> int: ...

def int8_dot_isa(*args, **kwargs) -> object:
    """
    int8_dot_isa(cpuinfo='/proc/cpuinfo') -> the processor's int8 dot-product flag (avx512_vnni before avx_vnni), or None.
    """

def litert_runtime_version(*args, **kwargs) -> object:
    """
    litert_runtime_version() -> version of the installed ai-edge-litert distribution, or None.
    """

def main(argv: object) -> int:
    """Run the host program; returns its exit status."""

def load_bundle(bundle: object, engine: object | None = None) -> tuple: ...

def load_color_correct(bundle: object) -> tuple: ...

def read_exact(n: int) -> object:
    """Exactly n bytes of standard input, or None when it ends first."""

def write_frame(idx: object, rgb: object) -> None: ...

def emit(frames: object) -> None: ...
