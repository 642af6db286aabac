"""The live viewer's server: uvicorn on the loopback address, stopped cleanly by Ctrl-C.

``LiveServer(path, options, port=0)`` converts the layout once (a file that
cannot be shown raises ``LoadError`` before anything listens), binds
127.0.0.1 (port 0: a free one) and makes a random token for the address.
``run()`` serves until Ctrl-C (or SIGTERM); ``start()`` serves from a thread
of its own and returns the address, ``stop()`` ends it (open event streams
end first, so that nothing keeps it waiting).
"""

from __future__ import annotations

import contextlib
import secrets
import signal
import socket
import sys
import threading
from pathlib import Path
from typing import Any, Callable

from corvane.serve.pages import version_page
from corvane.serve.source import ConversionOptions, LiveLayout, LoadError

__all__ = ["LiveServer", "LoadError"]

HOST = "127.0.0.1"


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


class LiveServer:
    """A live viewer of one layout file (see the module's description)."""

    def __init__(
        self,
        path: str | Path,
        options: ConversionOptions = ConversionOptions(),
        *,
        port: int = 0,
        prog: str = "corvane view",
        say: Callable[[str], None] | None = None,
        watch: bool = True,
    ) -> None:
        self.token = secrets.token_urlsafe(18)
        self._say = say or (lambda text: print(f"{prog}: {text}", file=sys.stderr, flush=True))
        self._stopping = threading.Event()
        self.live = LiveLayout(path, options, prog=prog, say=self._say, page=self._page)
        try:
            self.live.load_now()
            self._socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                self._socket.bind((HOST, port))
            except OSError:
                self._socket.close()
                raise
        except BaseException:
            self.live.close()
            raise
        self.port = self._socket.getsockname()[1]
        self._watch = watch
        self._server: Any = None
        self._thread: threading.Thread | None = None

    @staticmethod
    def _page(message: bytes, version: Any) -> tuple[bytes, bytes]:
        """The viewer page of ``version`` and its page data (the layout's texts)."""
        import klayout.db as kdb
        import orjson

        from corvane.core import lumino
        from corvane.layout_info import klayout_read
        from corvane.viewer.texts import layout_texts

        layout = kdb.Layout()
        klayout_read(layout, lumino._layout_path(str(version.snapshot)))
        config = {"net": "../net", "version": version.number, "nets": version.nets_unavailable or True}
        data = orjson.dumps(layout_texts(layout))
        return version_page(message, config, data), data

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}/{self.token}/"

    def _make_server(self) -> Any:
        import uvicorn

        from corvane.serve.app import make_app

        app = make_app(self.live, self.token, self._stopping.is_set, watch=self._watch)
        config = uvicorn.Config(
            app,
            log_level="warning",
            access_log=False,
            lifespan="on",
            timeout_graceful_shutdown=3,
            server_header=False,
        )
        return uvicorn.Server(config)

    def run(self, started: Callable[[str], None] | None = None) -> bool:
        """Serve until Ctrl-C (or SIGTERM); ``started(url)`` is called once it listens.
        True when a signal stopped it.

        uvicorn serves from a thread of its own, so the signals reach this
        thread, which stops the server and waits for it.  SIGTERM is taken
        before the address is told, so that a stop sent at once is clean.
        """
        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGTERM, _interrupt) if main else None
        try:
            url = self.start()
            if started is not None:
                started(url)
            while self._thread is not None and self._thread.is_alive():
                self._thread.join(0.2)
        except KeyboardInterrupt:
            return True
        finally:
            self.stop()
            if main:
                signal.signal(signal.SIGTERM, previous)
        return False

    def start(self, timeout: float = 30.0) -> str:
        """Serve from a thread of its own; returns the address once it listens."""
        self._server = self._make_server()
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [self._socket]}, daemon=True)
        self._thread.start()
        waited = 0.0
        while not self._server.started:
            if not self._thread.is_alive() or waited > timeout:
                self.stop()
                raise RuntimeError(f"the live viewer did not start within {timeout:g} s")
            self._thread.join(0.02)
            waited += 0.02
        return self.url

    def stop(self, timeout: float = 30.0) -> None:
        """End a server that ``start`` started, and wait for it."""
        self._stopping.set()
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(timeout)
        self.close()

    def close(self) -> None:
        self._stopping.set()
        with contextlib.suppress(OSError):
            self._socket.close()
        self.live.close()

    def __enter__(self) -> "LiveServer":
        self.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()
