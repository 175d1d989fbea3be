"""Audio input: what push_audio, push and flush queue, and the arrival
statistics they write before they queue."""

import array
import asyncio
import ctypes
import time

import numpy as np
import pytest

from halvane import _avatar
from halvane._models import AudioChunk, VideoControl


def stats(av):
    return {k: getattr(av, k) for k in ("_arr_t0", "_arr_s", "_arr_done", "_arr_t_end") if hasattr(av, k)}


def drain(av):
    items = []
    while not av._in_queue.empty():
        items.append(av._in_queue.get_nowait())
    return items


@pytest.mark.parametrize("form", ["bytes", "memoryview of int16", "int16 array"])
@pytest.mark.parametrize("nbytes, rate, seconds", [
    (32000, 16000, 1.0), (32000, 48000, 32000 * 0.5 / 48000), (32000, 1000, 16.0), (0, 16000, 0.0)])
def test_seconds_of_a_piece(nbytes, rate, seconds, form):
    data = {"bytes": lambda b: b, "memoryview of int16": lambda b: memoryview(b).cast("h"),
            "int16 array": lambda b: np.frombuffer(b, np.int16)}[form](b"\0" * nbytes)

    async def main():
        av = _avatar.AsyncAvatar()
        await av.push_audio(data, rate, last_chunk=False)  # counted by bytes, whatever the form
        assert av._arr_s == seconds and type(av._arr_s) is float
        assert av._arr_done is False and not hasattr(av, "_arr_t_end")

    asyncio.run(main())


def test_runs_of_arrival():
    async def main():
        av = _avatar.AsyncAvatar()
        assert stats(av) == {}
        # the default last_chunk=True makes every piece a run of its own
        await av.push_audio(b"\x01\x00\xff\xff" * 8000, 16000)
        t0 = av._arr_t0
        assert (av._arr_s, av._arr_done) == (1.0, True) and av._arr_t_end >= t0
        await av.push_audio(b"\0" * 16000, 16000)
        assert av._arr_s == 0.5 and av._arr_t0 >= t0
        # pieces and then flush: one run, ended by the flush
        await av.push_audio(b"\0" * 3200, 16000, False)
        t0 = av._arr_t0
        await av.push_audio(b"\0" * 9600, 48000, False)
        assert av._arr_t0 == t0 and av._arr_s == pytest.approx(0.2) and av._arr_done is False
        before = time.monotonic()
        assert await av.flush() is None
        t_end = av._arr_t_end
        assert av._arr_done is True and t_end >= before >= t0
        av._arrival_ended()
        await av.flush()
        assert av._arr_t_end == t_end  # the first end of a run stays
        for s in (-1.0, 0.0, float("nan"), 0.25):
            av._note_arrival(s)  # the first starts a new run; only positive seconds count
        assert av._arr_t0 >= t_end and (av._arr_s, av._arr_done) == (0.25, False)
        av._arrival_dropped()
        assert stats(av) == {"_arr_t0": None, "_arr_s": 0.0, "_arr_done": False, "_arr_t_end": t_end}

        queued = drain(av)
        assert [type(c) for c in queued] == [VideoControl] * 6
        assert queued[0].audio.data.tolist()[:2] == [1, -1] and queued[0].audio.last_chunk is True
        assert queued[3].audio.sample_rate == 48000 and queued[3].audio.last_chunk is False
        assert all(c.audio is None and c.end_of_speech is True for c in queued[4:])

    asyncio.run(main())


def test_push_flush_and_failures():
    async def main():
        av = _avatar.AsyncAvatar()
        await av.flush()  # no run: the end is stamped anyway
        assert stats(av).keys() == {"_arr_done", "_arr_t_end"} and av._arr_done is True
        av = _avatar.AsyncAvatar()
        control, other = VideoControl.from_audio(b"\0" * 320, 16000, True), object()
        await av.push(control)
        await av.push(other)
        await av.push(None)
        assert drain(av) == [control, other, None] and stats(av) == {}
        with pytest.raises(ValueError):
            await av.push_audio(b"\0" * 100, None)  # from_audio refuses the rate
        with pytest.raises(ValueError):
            await av.push_audio(b"\0" * 3, 16000)  # half a sample
        for coro in (av.push_audio(b"\0\0", 16000), av.flush(), av.push(None)):
            coro.close()  # nothing happens until awaited
        assert stats(av) == {} and av._in_queue.empty()

    asyncio.run(main())


def test_statistics_are_written_before_a_full_queue_frees_up():
    async def main():
        av = _avatar.AsyncAvatar(input_buffer_size=1)
        await av.push_audio(b"\0" * 320, 16000, False)
        blocked = asyncio.create_task(av.push_audio(b"\0" * 320, 16000, True))
        ended = asyncio.create_task(av.flush())
        for _ in range(5):
            await asyncio.sleep(0)
        assert not blocked.done() and not ended.done()
        assert av._arr_s == 0.02 and av._arr_done is True
        got = [await av._in_queue.get() for _ in range(3)]
        await asyncio.gather(blocked, ended)
        assert [c.end_of_speech or c.audio.last_chunk for c in got] == [False, True, True]

    asyncio.run(main())


RATE_REFUSED = "sample_rate must be a whole number of Hz from 1000 to 384000, not "
NOT_PCM = "audio must be 16-bit PCM bytes or an int16 array, not "
PCM = b"\x01\x00\xff\xff\x00\x80"  # 1, -1, -32768 as little-endian int16
SAMPLES = [1, -1, -32768]

# How a piece of audio may come, and what from_audio makes of it: its samples,
# or the kind of error and the end of its message.
AUDIO_FORMS = {
    "bytes": (PCM, SAMPLES),
    "strided memoryview of bytes": (memoryview(bytes(b for pair in zip(PCM, b"?" * 6) for b in pair))[::2], SAMPLES),
    "memoryview of int16": (memoryview(PCM).cast("h"), SAMPLES),
    "array.array of int16": (array.array("h", SAMPLES), SAMPLES),
    "ctypes int16 array ('<h')": ((ctypes.c_int16 * 3)(*SAMPLES), SAMPLES),
    "big-endian int16 buffer": (memoryview(np.array(SAMPLES, ">i2")), SAMPLES),
    "int16 array": (np.array(SAMPLES, np.int16), SAMPLES),
    "big-endian int16 array": (np.array(SAMPLES, ">i2"), SAMPLES),
    "strided int16 array": (np.array([1, 7, -1, 7, -32768, 7], np.int16)[::2], SAMPLES),
    "empty bytes": (b"", []),
    "half a sample": (PCM[:5], (ValueError, "two bytes, not 5 bytes")),
    "float32 array": (np.zeros(800, np.float32), (TypeError, NOT_PCM + "an array of float32")),
    "uint16 array": (np.zeros(3, np.uint16), (TypeError, NOT_PCM + "an array of uint16")),
    "int32 array": (np.zeros(3, np.int32), (TypeError, NOT_PCM + "an array of int32")),
    "uint8 array": (np.frombuffer(PCM, np.uint8), (TypeError, NOT_PCM + "an array of uint8")),
    "bool array": (np.zeros(2, bool), (TypeError, NOT_PCM + "an array of bool")),
    "memoryview of float32": (memoryview(b"\0" * 8).cast("f"), (TypeError, NOT_PCM + "a buffer of format 'f'")),
    "array.array of uint16": (array.array("H", [1]), (TypeError, NOT_PCM + "a buffer of format 'H'")),
    "str": ("\x01\x00", (TypeError, NOT_PCM + "str")),
    "list of ints": (SAMPLES, (TypeError, NOT_PCM + "list")),
    "None": (None, (TypeError, NOT_PCM + "NoneType")),
}
# A rate and the int it is taken as (None: refused). A list, not a dict:
# 16000.0, True and NumPy scalars compare (and hash) equal to ints.
RATES = [(16000, 16000), (1000, 1000), (384000, 384000), (np.int64(48000), 48000),
         (0, None), (-16000, None), (1, None), (999, None), (384001, None), (True, None), (np.bool_(True), None),
         (16000.0, None), ("16000", None), (None, None)]


def from_audio_gives(data, rate, expected, hz):
    if isinstance(expected, tuple):
        kind, message = expected
        with pytest.raises(kind) as refused:
            VideoControl.from_audio(data, rate, True)
        assert type(refused.value) is kind and str(refused.value).endswith(message)
        return
    control = VideoControl.from_audio(data, rate, np.bool_(True))
    chunk = control.audio
    assert chunk.data.dtype == np.dtype("=i2") and chunk.data.ndim == 1 and chunk.data.tolist() == expected
    assert chunk.sample_rate == hz and type(chunk.sample_rate) is int
    assert chunk.last_chunk is True and control.end_of_speech is False


@pytest.mark.parametrize("form", AUDIO_FORMS)
def test_from_audio_takes_only_int16_pcm(form):
    data, expected = AUDIO_FORMS[form]
    from_audio_gives(data, 16000, expected, 16000)


@pytest.mark.parametrize("rate, hz", RATES, ids=[repr(r) for r, _ in RATES])
def test_from_audio_takes_only_a_usable_rate(rate, hz):
    if hz is not None:
        from_audio_gives(PCM, rate, SAMPLES, hz)
        return
    # a refused rate is looked at first, whatever the audio
    for data in (PCM, None):
        from_audio_gives(data, rate, (ValueError, RATE_REFUSED + repr(rate)), None)


@pytest.mark.parametrize("build, kind, message", [
    (lambda: AudioChunk(data=PCM, sample_rate=16000), TypeError,
     "AudioChunk data must be an int16 array, not bytes"),
    (lambda: AudioChunk(data=np.zeros(4, np.float32), sample_rate=16000), TypeError,
     "AudioChunk data must be an int16 array, not an array of float32"),
    (lambda: AudioChunk(data=np.zeros(4, np.int16), sample_rate=0), ValueError, RATE_REFUSED + "0"),
    (lambda: AudioChunk(data=np.zeros(4, np.int16), sample_rate=False), ValueError, RATE_REFUSED + "False"),
    (lambda: VideoControl(audio=PCM), TypeError, "VideoControl audio must be an AudioChunk or None, not bytes"),
])
def test_records_refuse_what_the_producer_cannot_use(build, kind, message):
    # what push() queues is built by the caller: a bad record cannot be made
    with pytest.raises(kind) as refused:
        build()
    assert str(refused.value) == message
    chunk = AudioChunk(data=np.zeros(4, ">i2"), sample_rate=np.int32(8000))
    assert chunk.sample_rate == 8000 and type(chunk.sample_rate) is int


def test_arrays_of_channels_are_taken_as_offline():
    from halvane import _open
    x = np.array([1, -2, 3, -3, 32767, -32768, 7, 0, -1, 5], np.int16)
    three = np.asfortranarray(np.stack([x, x[::-1], x])).astype(">i2")  # channels in rows

    async def main():
        av = _avatar.AsyncAvatar()
        await av.push_audio(np.stack([x, x], axis=1), 16000, last_chunk=False)  # as long as it was
        await av.push_audio(three, 16000, last_chunk=False)
        got = [c.audio.data.tobytes() for c in drain(av)]
        assert got == [x.tobytes(), _open._pcm(three.astype(np.int16))] and av._arr_s == 20 / 16000
        for arr in (np.zeros((2, 2), np.int16), np.zeros((20, 2, 1), ">i2")):  # shapes that do not tell
            with pytest.raises(TypeError) as offline:
                _open._pcm(arr.astype(np.int16))
            with pytest.raises(TypeError) as live:
                await av.push_audio(arr, 16000)
            assert str(live.value) == str(offline.value) and av._in_queue.empty() and av._arr_s == 20 / 16000

    asyncio.run(main())


@pytest.mark.parametrize("make", [
    lambda a: VideoControl.from_audio(a, 16000, False).audio,
    lambda a: AudioChunk(data=a, sample_rate=16000),
], ids=["from_audio", "AudioChunk"])
def test_the_record_module_mixes_channels_as_every_intake(make):
    from halvane import _open
    x = np.arange(-1600, 1600, 2, dtype=np.int16)
    stereo = np.stack([x, x // 3], axis=1)  # (1600, 2): interleaved, it would play twice as long
    chunk = make(stereo)
    assert chunk.data.ndim == 1 and chunk.data.tobytes() == _open._pcm(stereo)
    assert make(x[:, None]).data.tolist() == x.tolist()  # one channel as it lies
    with pytest.raises(TypeError, match="at most 8 channels"):
        make(np.zeros((4, 4), np.int16))
