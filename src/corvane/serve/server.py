"""The live viewer's server: uvicorn on the loopback address, stopped cleanly by Ctrl-C.

``LiveServer(path, options, port=0)`` converts the layout once (a file that
cannot be shown raises ``LoadError`` before anything listens), binds
127.0.0.1 (port 0: a free one) and makes a random token for the address.
``run()`` serves in the calling thread until Ctrl-C (or SIGTERM); ``start()``
serves from a thread of its own and returns the address, ``stop()`` ends it.
"""

from __future__ import annotations

import contextlib
import secrets
import socket
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Iterator

from corvane.serve.pages import version_page
from corvane.serve.source import ConversionOptions, LiveLayout, LoadError

__all__ = ["LiveServer", "LoadError"]

HOST = "127.0.0.1"


def _uvicorn_server(config: Any, on_exit: Callable[[], None]) -> Any:
    import uvicorn

    class Server(uvicorn.Server):
        """uvicorn's server that says when it starts stopping, and that returns
        after a signal instead of raising it again once stopped."""

        signalled: list[int] = []

        def handle_exit(self, sig: int, frame: Any) -> None:
            on_exit()
            super().handle_exit(sig, frame)

        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            with super().capture_signals():
                try:
                    yield
                finally:
                    self.signalled = list(self._captured_signals)
                    self._captured_signals.clear()

    return Server(config)


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
    def _page(message: bytes, version: Any) -> bytes:
        return version_page(message, {"net": "../net", "version": version.number, "nets": version.nets_unavailable or True})

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
        return _uvicorn_server(config, self._stopping.set)

    def run(self, started: Callable[[str], None] | None = None) -> bool:
        """Serve until Ctrl-C; ``started(url)`` is called once it listens.  True when a signal stopped it."""
        self._server = self._make_server()
        if started is not None:
            watcher = threading.Thread(target=self._when_started, args=(started,), daemon=True)
            watcher.start()
        try:
            self._server.run(sockets=[self._socket])
        except KeyboardInterrupt:  # a second Ctrl-C while stopping
            return True
        finally:
            self.close()
        return bool(self._server.signalled)

    def _when_started(self, started: Callable[[str], None]) -> None:
        while not self._server.started and not self._stopping.wait(0.02):
            pass
        if self._server.started:
            started(self.url)

    def start(self, timeout: float = 30.0) -> str:
        """Serve from a thread of its own; returns the address once it listens."""
        self._server = self._make_server()
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [self._socket]}, daemon=True)
        self._thread.start()
        ready = threading.Event()
        threading.Thread(target=self._when_started, args=(lambda url: ready.set(),), daemon=True).start()
        if not ready.wait(timeout):
            self.stop()
            raise RuntimeError(f"the live viewer did not start within {timeout:g} s")
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
