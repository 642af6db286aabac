"""The layout file a live viewer shows: converted, watched, converted again on save.

``LiveLayout(path, options)`` converts the file as ``corvane view`` does
(``load_now`` for the first time) and keeps the last good ``Version``: the
message, and lazily, on its own copy of the file, the viewer page made of it
with the layout's texts (the page data), and the layout read by KLayout for
tracing nets.  A version is published as soon as its message is there; its
page and page data are made in the background meanwhile (reading the texts
takes most of a save's time on the server), and a request for them waits.
``watch(stop)`` follows the file with watchfiles and converts it again
after each save.

A file still being written is not shown.  The file must keep its size and
time for a moment, read the same before and after, and convert; a file that
fails while it is still changing is tried again at the next change, and
only one that stays broken for ``BROKEN_AFTER`` seconds is reported (the
last good version stays in view).  Each version converts its own copy of the
bytes, so the message, the page and the traced nets always agree.
"""

from __future__ import annotations

import asyncio
import contextlib
import io
import os
import shutil
import stat as file_mode
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

__all__ = ["ConversionOptions", "LiveLayout", "LoadError", "Version"]

# Seconds the file must keep its size and time before it is read.
QUIET = 0.03
# Seconds a file that fails to convert may go unchanged before it is reported broken.
BROKEN_AFTER = 0.4
# watchfiles: yield changes once none came for STEP_MS; group them for at most DEBOUNCE_MS.
STEP_MS = 20
DEBOUNCE_MS = 300
# Versions whose pages stay available (a shell may still be loading one).
KEEP_PAGES = 3


class LoadError(Exception):
    """The file cannot be shown (unreadable, not a layout, nothing to draw); one line."""


@dataclass(frozen=True)
class ConversionOptions:
    """What ``corvane view`` converts with: --stack, --show, --exclude, --z-scale, --output, --curve-tolerance."""

    stack: str | None = None
    show: tuple[str, ...] = ()
    exclude: tuple[str, ...] = ()
    z_scale: float = 1.0
    output: str = "layer"
    curve_tolerance: float | None = 0.01

    @classmethod
    def from_args(cls, args: Any) -> "ConversionOptions":
        return cls(
            stack=getattr(args, "stack", None),
            show=tuple(getattr(args, "show", None) or ()),
            exclude=tuple(getattr(args, "exclude", None) or ()),
            z_scale=float(getattr(args, "z_scale", 1.0)),
            output=getattr(args, "output", "layer"),
            curve_tolerance=getattr(args, "curve_tolerance", 0.01),
        )


@dataclass
class Version:
    """One good conversion of the file."""

    number: int
    snapshot: Path  # this version's own copy of the file
    message: bytes
    size: int
    modified_ns: int
    convert_ms: float
    table: dict
    connectivity: Any  # corvane.stacks.connections.Connectivity or None
    nets_unavailable: str | None
    z_scale: float
    make_pages: Callable[[], tuple[bytes, bytes]] | None = field(default=None, repr=False)
    _pages: tuple[bytes, bytes] | None = field(default=None, repr=False)
    _pages_lock: threading.Lock = field(default_factory=threading.Lock, repr=False)
    _nets: Any = field(default=None, repr=False)
    _nets_lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def pages(self) -> tuple[bytes, bytes]:
        """The viewer page and the page data (the texts, JSON) of this version, made on first use."""
        with self._pages_lock:
            if self._pages is None:
                self._pages = self.make_pages() if self.make_pages else (self.message, b"{}")
            return self._pages

    def nets(self) -> Any:
        """The layout ready for tracing (``corvane.serve.nets.NetTracing``), read on first use."""
        if self.nets_unavailable:
            raise LoadError(self.nets_unavailable)
        with self._nets_lock:
            if self._nets is None:
                import klayout.db as kdb

                from corvane.serve.nets import NetTracing

                from corvane.core import lumino
                from corvane.layout_info import klayout_read

                layout = kdb.Layout()
                klayout_read(layout, lumino._layout_path(str(self.snapshot)))
                self._nets = NetTracing(layout, self.connectivity, self.table, self.z_scale)
            return self._nets


def _convert(snapshot: Path, options: ConversionOptions, prog: str) -> tuple[bytes, Any]:
    """The viewer message of ``snapshot`` and the layer plan it was made with."""
    import argparse

    from corvane.cli.common import CommandError, _one_line
    from corvane.cli.plan import plan_layers
    from corvane.core import communication, lumino

    args = argparse.Namespace(stack=options.stack, show=list(options.show) or None, exclude=list(options.exclude) or None)
    try:
        plan = plan_layers(prog, snapshot, args)
    except CommandError as exc:
        raise LoadError(str(exc)) from None
    sent: list[Any] = []
    output = lumino.Output.CELL if options.output == "cell" else lumino.Output.LAYER
    previous = communication.set_transport(lambda message: sent.append(getattr(message, "content", message)))
    try:
        with plan.active():
            lumino.lumino(
                str(snapshot),
                output,
                z_scale=options.z_scale,
                curve_tolerance=options.curve_tolerance,
                exclude_layers=plan.exclude_layers,
            )
    except (RuntimeError, ValueError) as exc:  # KLayout's reader: unknown format, truncated file, ...; a bad unit
        raise LoadError(f"{snapshot.name}: cannot read the layout: {_one_line(exc)}") from None
    finally:
        communication.set_transport(previous)
    if len(sent) != 1:
        raise LoadError(f"expected one viewer message, {len(sent)} were sent")
    content = sent[0]
    return (content.encode("utf-8") if isinstance(content, str) else bytes(content)), plan


class LiveLayout:
    """The watched file and its last good version (see the module's description).

    ``on_change`` is called (in the event loop) after every new version or
    error; ``say`` prints a line about it.
    """

    def __init__(
        self,
        path: str | os.PathLike,
        options: ConversionOptions = ConversionOptions(),
        *,
        prog: str = "corvane view",
        say: Callable[[str], None] | None = None,
        page: Callable[[bytes, "Version"], tuple[bytes, bytes]] | None = None,
    ) -> None:
        self.path = Path(path).absolute()
        self.options = options
        self.prog = prog
        self._say = say or (lambda text: None)
        self._page = page or (lambda message, version: (message, b"{}"))
        self._work = Path(tempfile.mkdtemp(prefix="corvane-live-"))
        self._number = 0
        self._warnings: str | None = None
        self.current: Version | None = None
        self.published_at: float | None = None  # when the last version or error was published (seconds since the epoch)
        self.recent: dict[int, Version] = {}  # the last few versions, whose pages a shell may still load
        self.error: dict[str, Any] | None = None
        self.changed = asyncio.Event()  # replaced by a new one at each change
        self._dirty = asyncio.Event()

    # --- one conversion

    def _read_stable(self) -> tuple[bytes, os.stat_result] | None:
        """The file's bytes once it kept its size and time for QUIET seconds and read the same; None if absent."""
        while True:
            try:
                before = self.path.stat()
                if not file_mode.S_ISREG(before.st_mode):  # a FIFO or a device: its read would wait
                    raise LoadError(f"{self.path.name}: not a regular file")
                time.sleep(QUIET)
                with self.path.open("rb") as f:
                    data = f.read()
                after = self.path.stat()
            except FileNotFoundError:
                return None
            except OSError as exc:
                raise LoadError(f"{self.path.name}: cannot read the file: {exc.strerror or exc}") from None
            same = (before.st_size, before.st_mtime_ns) == (after.st_size, after.st_mtime_ns)
            if same and len(data) == after.st_size:
                return data, after

    def convert_once(self) -> Version:
        """Convert the file as it is now into a new version (not yet shown); ``LoadError`` if it cannot be."""
        started = time.perf_counter()
        read = self._read_stable()
        if read is None:
            raise LoadError(f"{self.path}: no such file")
        data, stat = read
        number = self._number + 1
        folder = self._work / str(number)
        folder.mkdir(exist_ok=True)
        snapshot = folder / self.path.name
        snapshot.write_bytes(data)
        try:
            # Warnings of the layer plan are printed when they differ from the last ones.
            heard = io.StringIO()
            try:
                with contextlib.redirect_stderr(heard):
                    message, plan = _convert(snapshot, self.options, self.prog)
            except LoadError as exc:  # said of the user's file, not of the copy
                raise LoadError(str(exc).replace(str(snapshot), str(self.path))) from None
            if heard.getvalue() != self._warnings:
                self._warnings = heard.getvalue()
                sys.stderr.write(self._warnings)
            from corvane.stacks import connections

            connectivity = connections.parse(plan.stack.data) if plan.stack.data is not None else None
            unavailable = None
            if connectivity is None:
                unavailable = (
                    f"{plan.stack.label} states no connections between its layers, so nets cannot be traced "
                    "(the built-in stacks sky130, gf180mcu and ihp-sg13g2 do; a stack file may, under \"connections\")"
                )
            version = Version(
                number=number,
                snapshot=snapshot,
                message=message,
                size=len(data),
                modified_ns=stat.st_mtime_ns,
                convert_ms=0.0,
                table=dict(plan.table),
                connectivity=connectivity,
                nets_unavailable=unavailable,
                z_scale=self.options.z_scale,
            )
            version.make_pages = lambda: self._page(message, version)
            version.convert_ms = round((time.perf_counter() - started) * 1000, 1)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        self._number = number
        return version

    def publish(self, version: Version | None, error: str | None = None) -> None:
        """Show ``version`` (or keep the current one and report ``error``); wakes the watchers of ``changed``."""
        if version is not None:
            previous = self.current
            self.current = version
            self.error = None
            self.recent[version.number] = version
            for number in sorted(self.recent)[:-KEEP_PAGES]:
                del self.recent[number]
            if previous is not None:
                previous._nets = None  # only the version shown traces nets
                # Its copy goes once its page is made (a shell may still ask for it).
                _in_background(_quietly(previous.pages), lambda: shutil.rmtree(previous.snapshot.parent, ignore_errors=True))
        else:
            self.error = {"text": error, "at": time.time()}
        self.published_at = time.time()
        old, self.changed = self.changed, asyncio.Event()
        old.set()

    def load_now(self) -> Version:
        """The first conversion, before watching: raises ``LoadError`` when the file cannot be shown."""
        version = self.convert_once()
        self.current = version
        self.recent[version.number] = version
        return version

    def state(self) -> dict[str, Any]:
        """What the page is told: the version to show and the error, if any."""
        v = self.current
        return {
            "file": self.path.name,
            "version": v.number if v else None,
            "page": f"page/{v.number}" if v else None,
            "message": f"message/{v.number}" if v else None,
            "data": f"data/{v.number}" if v else None,
            "modifiedNs": v.modified_ns if v else None,
            "convertMs": v.convert_ms if v else None,
            "nets": None if v is None else (v.nets_unavailable or True),
            "error": self.error,
            "publishedAt": None if self.published_at is None else round(self.published_at * 1000, 1),
        }

    # --- watching

    async def watch(self, stop: asyncio.Event) -> None:
        """Follow the file until ``stop`` is set: every save converts it again."""
        reloading = asyncio.create_task(self._reload_loop(stop))
        try:
            await self._watch_loop(stop)
        finally:
            reloading.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await reloading

    async def _watch_loop(self, stop: asyncio.Event) -> None:
        import watchfiles

        targets = {os.path.abspath(self.path), os.path.realpath(self.path)}
        folders = sorted({os.path.dirname(p) for p in targets})
        async for _changes in watchfiles.awatch(
            *folders,
            watch_filter=lambda _change, p: os.path.abspath(p) in targets,
            stop_event=stop,
            debounce=DEBOUNCE_MS,
            step=STEP_MS,
            recursive=False,
            rust_timeout=200,
        ):
            self._dirty.set()

    async def _reload_loop(self, stop: asyncio.Event) -> None:
        while not stop.is_set():
            await self._dirty.wait()
            self._dirty.clear()
            await self._reload()

    async def _reload(self) -> None:
        while True:
            try:
                version = await asyncio.to_thread(self.convert_once)
            except LoadError as exc:
                # Broken, or not yet complete: a change coming soon tries again.
                try:
                    await asyncio.wait_for(self._dirty.wait(), BROKEN_AFTER)
                except asyncio.TimeoutError:
                    self._say(f"{exc} (showing version {self.current.number if self.current else '-'})")
                    self.publish(None, str(exc))
                    return
                self._dirty.clear()
                continue
            self.publish(version)
            self._say(f"version {version.number}: {self.path.name} converted in {version.convert_ms:.0f} ms")
            self.prepare(version)
            return

    def prepare(self, version: Version) -> None:
        """Make the page of ``version`` and read its layout for tracing, in the background
        (while the page loads the picture)."""
        work = [_quietly(version.pages)]
        if version.connectivity is not None:
            work.append(_quietly(version.nets))
        _in_background(*work)

    def close(self) -> None:
        shutil.rmtree(self._work, ignore_errors=True)


def _in_background(*steps: Callable[[], Any]) -> None:
    """Runs ``steps`` one after the other in a worker thread (now, without an event loop)."""

    def run() -> None:
        for work in steps:
            work()

    try:
        asyncio.get_running_loop().run_in_executor(None, run)
    except RuntimeError:
        run()


def _quietly(work: Callable[[], Any]) -> Callable[[], None]:
    def run() -> None:
        with contextlib.suppress(Exception):  # a failure shows when a trace asks for it
            work()

    return run
