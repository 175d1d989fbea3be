"""The package's command module: MP4 files from an avatar and some audio.

    python -m halvane render <avatar> <audio> [<out.mp4>]

`_write` is what `Avatar.render(audio, out_mp4=path)` calls. The MP4 file is
written to a temporary file beside its path and renamed into place once it is
complete, so a render that fails or is interrupted leaves whatever was at that
path as it was; only a regular file (or nothing) there is replaced.
"""

import _signal

# Run as the program, the command notes a stopping signal from its first line
# on (through the interpreter's built-in module: `signal` takes milliseconds
# to import); main() ends the command for one that came before it took over.
_EARLY = []
if __name__ == "__main__":
    for _s in (_signal.SIGINT, _signal.SIGTERM, _signal.SIGHUP):
        _signal.signal(_s, lambda signum, frame: _EARLY.append(signum))

import os  # noqa: E402
import signal  # noqa: E402
import stat  # noqa: E402
import sys  # noqa: E402

_SAMPLE_RATE = 16000
_DEFAULT_FPS = 25
_AUDIO_BLOCK = 16000  # samples handed to the AAC encoder at a time
_raising = False  # the avatar is being opened or rendered: a stopping signal raises
_STOPPED_BY = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


class _Mp4:
    """An MP4 file being written: H.264 video (yuv420p) at `rate` frames per
    second when `size` (height, width) is given, and an AAC track of 16 kHz
    mono audio."""

    def __init__(self, path, rate, size):
        import av
        import numpy

        self._av, self._np = av, numpy
        self._out = av.open(path, "w", format="mp4")
        self._video = None
        if size is not None:
            h, w = size
            self._video = self._out.add_stream("h264", rate=rate)
            self._video.width, self._video.height = w + w % 2, h + h % 2  # 4:2:0 needs even sides
            self._video.pix_fmt = "yuv420p"
            self._video.time_base = 1 / rate
        self._audio = self._out.add_stream("aac", rate=_SAMPLE_RATE)
        self._audio.layout = "mono"

    def video(self, rgb, index):
        np = self._np
        rgb = np.asarray(rgb, dtype=np.uint8)
        h, w = rgb.shape[:2]
        if h % 2 or w % 2:
            rgb = np.pad(rgb, ((0, h % 2), (0, w % 2), (0, 0)), mode="edge")
        frame = self._av.VideoFrame.from_ndarray(np.ascontiguousarray(rgb), format="rgb24")
        frame.pts = index
        self._out.mux(self._video.encode(frame))

    def finish(self, pcm):  # pcm: any bytes-like object, read in place
        np = self._np
        if self._video is not None:
            self._out.mux(self._video.encode())
        samples = np.frombuffer(pcm, dtype="<i2", count=len(pcm) // 2)
        for start in range(0, samples.size, _AUDIO_BLOCK):
            block = samples[None, start:start + _AUDIO_BLOCK]
            frame = self._av.AudioFrame.from_ndarray(np.ascontiguousarray(block), format="s16", layout="mono")
            frame.sample_rate, frame.pts = _SAMPLE_RATE, start
            self._out.mux(self._audio.encode(frame))
        self._out.mux(self._audio.encode())
        self.close()

    def close(self):
        self._out.close()



def _same_file(st, other):
    """Whether the file of stat result `st` is also at the path `other` (the
    same file, a hard link or a symbolic link to it)."""
    try:
        return os.path.samestat(st, os.stat(other))
    except (OSError, TypeError, ValueError):
        return False


def _regular_file(path):
    """(stat result, None) for a regular file at `path` (links followed);
    (None, None) when nothing is there; (None, why) for anything else."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None, None
    except OSError as e:
        return None, e.strerror or str(e)
    if stat.S_ISDIR(st.st_mode):
        return None, "is a directory"
    if not stat.S_ISREG(st.st_mode):
        return None, "is not a regular file"
    return st, None


def _output_problem(path, inputs=()):
    """Why no MP4 file can be written at `path`, or None: its folder is
    missing, something other than a regular file is there, or it is one of the
    `inputs` (paths) itself. Each entry of `inputs` is (path, what it is)."""
    if not path:
        return "names no file"
    if not os.path.isdir(os.path.dirname(path) or "."):
        return "its folder does not exist"
    st, problem = _regular_file(path)
    if st is None:
        return problem  # None: nothing there, or a link to nothing: the new file takes its place
    for other, what in inputs:
        if _same_file(st, other):
            return f"is the {what} itself"
    return None


def _umask():
    """This process's file mode creation mask (read without changing it)."""
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


def _temporary_beside(path):
    """A new empty file in the folder of `path`, made for this render alone
    (created exclusively), with the mode a new file gets; returns its path.
    An OSError names `path`."""
    import tempfile

    folder, name = os.path.split(path)
    try:
        fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
    except OSError as e:
        raise type(e)(e.errno, e.strerror, path) from None
    try:
        os.fchmod(fd, 0o666 & ~_umask())
    finally:
        os.close(fd)
    return temp


def _frame_rate(engine):
    """The frames per second `engine` renders at, as a fraction: its
    `frames_per_second`, or for the fixture engine, which has none, its
    fixture's samples per tick; 25 when neither tells."""
    import fractions

    fps = getattr(engine, "frames_per_second", None)
    if fps:
        return fractions.Fraction(fps).limit_denominator(1001)
    fx = getattr(engine, "_fx", None)
    spt = getattr(fx, "audio_samples_per_tick", None)
    if spt:
        return fractions.Fraction(getattr(fx, "audio_sample_rate", _SAMPLE_RATE), spt)
    return fractions.Fraction(_DEFAULT_FPS)


def _write(avatar, audio, path, stop=None):
    """Renders `avatar`'s frames for `audio` and writes them with that audio to
    the MP4 file `path`: H.264 video at the rate the engine renders at
    (`_frame_rate`) and the audio as AAC, 16 kHz mono; frames the engine left
    out before its first (`leading_frames`) are filled with its resting picture. Frames that would make the
    video run longer than the audio are left out, but any audio gets at least
    one frame. The file is written beside `path` and renamed to it once it is
    complete: a render that fails or is interrupted leaves no partial file and
    leaves what was at `path` as it was. Refused with `Failed` before anything
    is rendered: a path whose folder is missing, a directory or anything else
    but a regular file at the path, or the audio file itself. Render errors
    reach the caller as the render raised them. `stop`, when given, is called
    after every frame; what it raises abandons the render. A whole clip is
    held once: the engine renders the very bytes the audio track is made of.
    Returns `path`."""
    import collections

    import numpy as np

    from halvane import _open
    from halvane._errors import Failed, refuse

    audio_file = [(audio, "audio file")] if isinstance(audio, (str, os.PathLike)) else []
    problem = _output_problem(path, audio_file)
    if problem is not None:
        raise refuse(Failed, f"cannot write the MP4 file {path}: {problem}")
    rate = _frame_rate(avatar._engine)
    clip = _open._whole_clip(audio)
    if clip is not None:
        pcm = source = clip
    else:
        pcm = bytearray()

        def source():  # the pieces as the engine draws them, kept for the audio track
            for chunk in _open._chunks(audio):
                pcm.extend(chunk)
                yield chunk

        source = source()

    def covered():  # frames the audio drawn so far can carry; one at least once there is any
        frames = (len(pcm) // 2) * rate.numerator // (_SAMPLE_RATE * rate.denominator)
        return max(frames, 1) if len(pcm) >= 2 else 0

    temp = _temporary_beside(path)
    mp4 = None
    frames = None
    written = 0
    pending = collections.deque()  # frames waiting for their audio to be drawn

    def drain():  # writes the pending frames that the audio drawn so far covers
        nonlocal written
        limit = covered()
        while pending and written < limit:
            mp4.video(pending.popleft(), written)
            written += 1

    try:
        frames = avatar.render(source)
        for frame in frames:
            if stop is not None:
                stop()
            if mp4 is None:
                mp4 = _Mp4(temp, rate, np.shape(frame)[:2])
                # The engine's time at rest before its first frame (a session's
                # leading silence) is filled with its resting picture.
                lead = getattr(avatar._engine, "leading_frames", 0) or 0
                rest = getattr(avatar._engine, "leading_picture", None)
                pending.extend([frame if rest is None else rest] * lead)
            pending.append(frame)
            drain()
        drain()
        if mp4 is None:
            mp4 = _Mp4(temp, rate, None)
        mp4.finish(pcm)
        os.replace(temp, path)
    except BaseException:
        # The render first (an engine's child process ends with it), then the
        # file, then the temporary file: the only path this removes.
        for step in (getattr(frames, "close", None), mp4 and mp4.close, lambda: os.unlink(temp)):
            if step is not None:
                try:
                    step()
                except Exception:
                    pass
        raise
    return path


# -- the command line ---------------------------------------------------------

class _Mistake(Exception):
    """A user's mistake about `file`: the command says `reason` in one line."""

    def __init__(self, file, reason):
        super().__init__(file, reason)
        self.file, self.reason = file, reason

    def line(self):
        reason = " ".join(str(self.reason).split())  # one line, whatever the detail held
        if reason.startswith(self.file) or reason.endswith(" " + self.file):  # the message names it already
            return f"halvane: {reason}"
        return f"halvane: {self.file}: {reason}"


class _Stopped(BaseException):
    """The command was asked to stop by a signal (its number the argument)."""


def _reason(e):
    """An error's message followed by its detail, when it carries one."""
    message = getattr(e, "message", None) or str(e)
    detail = getattr(e, "detail", None)
    if detail is not None and str(detail).strip():
        message = f"{message}: {detail}"
    return message


_QUIET_VARIABLE = "HALVANE_RENDER_QUIET"


def _default_output(audio):
    """The audio file's name with ".mp4" for its extension, in the current directory."""
    return os.path.splitext(os.path.basename(os.path.normpath(audio)))[0] + ".mp4"


def _render(avatar_path, audio_path, out, stop):
    """The render command: the checks of its files, the audio decoded, the
    avatar opened and the MP4 file written; `stop()` raises once the command
    is asked to stop. A user's mistake is a `_Mistake`."""
    try:
        from halvane import _open
    except ValueError as e:  # the offline interface refuses its setting
        if _QUIET_VARIABLE not in os.environ:
            raise
        raise _Mistake(_QUIET_VARIABLE, f"{_QUIET_VARIABLE} takes a number of seconds, such as 10; "
                       f"it is {os.environ[_QUIET_VARIABLE]!r}") from None
    from halvane._errors import AvatarError

    st, problem = _regular_file(audio_path)
    if st is None and problem is None:
        problem = "no such file"
    elif st is not None and _same_file(st, avatar_path):  # ffmpeg would read an avatar as noise
        problem = "is the avatar file itself"
    if problem is not None:
        raise _Mistake(audio_path, problem)
    problem = _output_problem(out, [(audio_path, "audio file"), (avatar_path, "avatar file")])
    if problem is not None:
        raise _Mistake(out, problem)
    if not os.path.exists(avatar_path) and _open._CODE.match(avatar_path):
        raise _Mistake(avatar_path, f"{avatar_path} names an avatar held by the service, and this command renders "
                       "an avatar file on this machine: render that avatar with the cloud renderer, or put its "
                       "avatar file on this machine and give its path")
    try:
        pcm = _open._whole_clip(audio_path)
    except MemoryError:
        raise _Mistake(audio_path, "there is not enough memory to decode it") from None
    except Exception as e:  # whatever decoding met is the audio's
        raise _Mistake(audio_path, _reason(e)) from None
    global _raising
    # From here a stopping signal raises where the work looks for one: a long
    # unpack, an engine waiting for frames, the render loop end at once.
    _raising = True
    try:
        try:
            stop()
            avatar = _open.open(avatar_path)
        except (AvatarError, OSError) as e:
            raise _Mistake(avatar_path, _reason(e)) from None
        except (ValueError, RecursionError) as e:  # a damaged manifest (not UTF-8, not JSON, nested too deeply)
            raise _Mistake(avatar_path, f"that is not a usable avatar: {e}") from None
        with avatar:
            stop()
            try:
                _write(avatar, pcm, out, stop)
            except AvatarError as e:
                raise _Mistake(avatar_path, _reason(e)) from None
            except OSError as e:  # PyAV's errors of writing a file are OSErrors too
                raise _Mistake(out, e.strerror or str(e)) from None
    finally:
        _raising = False


def _children():
    """The pids of this process's child processes."""
    me, out = os.getpid(), []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    if int(f.read().rsplit(b")", 1)[1].split()[1]) == me:
                        out.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return out


def _signals_stop(stopped):
    """SIGINT, SIGTERM and SIGHUP (a closed terminal) stop the render: the
    signal is noted in `stopped` and this process's children (the host, a
    decoder) are sent SIGTERM, so that whatever waits on them ends with an
    error. While the avatar is opened and rendered (`_raising`) the handler
    raises, so that a long unpack or an engine waiting for frames ends at
    once; before and after that nothing is raised from it, and the command
    checks `stopped` itself.
    Returns the handlers to restore, or None where handlers cannot be set
    (not the main thread)."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        return None

    def handler(signum, frame):
        stopped.append(signum)
        for pid in _children():
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
        if _raising:
            raise _Stopped(signum)

    return {s: signal.signal(s, handler) for s in _STOPPED_BY}


def _restore_signals(previous):
    """Puts the handlers `_signals_stop` replaced back; a signal that comes
    meanwhile waits for them."""
    if previous is None:
        return
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, previous)
    try:
        for s, h in previous.items():
            signal.signal(s, h)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def _say(line):
    """Prints `line` on standard error; a terminal that is gone takes nothing."""
    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv=None):
    import argparse

    as_program = __name__ == "__main__"
    stopped = _EARLY if as_program else []
    previous = _signals_stop(stopped)  # from here on a signal also ends the host and a decoder
    out = None

    def stop():
        if stopped:
            raise _Stopped(stopped[0])

    try:
        try:
            stop()
            parser = argparse.ArgumentParser(prog="python -m halvane", description="Speech to talking-head video.")
            commands = parser.add_subparsers(dest="command", required=True)
            render = commands.add_parser("render", help="render an avatar speaking an audio file into an MP4 file")
            render.add_argument("avatar", help="the avatar file")
            render.add_argument("audio", help="the audio file")
            render.add_argument("out_mp4", nargs="?", help="the MP4 file to write (default: the audio file's name "
                                "with .mp4, in the current directory)")
            args = parser.parse_args(argv)
            out = args.out_mp4 if args.out_mp4 is not None else _default_output(args.audio)
            _render(args.avatar, args.audio, out, stop)
            status = 0
        except _Mistake as m:
            if not stopped:
                _say(m.line())
            status = 1
        finally:
            if not as_program:  # the program keeps its handlers to its end: a late signal is no traceback
                _restore_signals(previous)
    except BaseException:
        if not stopped:
            raise
    if stopped:  # whatever the render ended with meanwhile
        how = _STOPPED_BY[stopped[0]]
        _say(f"halvane: {out}: the render was {how}" if out else f"halvane: {how}")
        return 128 + stopped[0]
    return status


if __name__ == "__main__":
    sys.exit(main())
