"""The web application of a live viewer (starlette): every address starts with the token.

Under ``/TOKEN/``: the shell page (``/``), its events (``/events``, server-sent:
the version to show and the last error), a version's viewer page
(``/page/N``), message (``/message/N``) and page data (``/data/N``: the
texts; a shown page takes the message and data of a new version in place),
and the net at a point
(``/net?v=N&x=X&y=Y&layer=LAYER&cell=CELL``).  Anything else, or a wrong
token, is refused (403); so is a Host header other than the loopback
names, which keeps pages of other sites from reaching it through their own
names.
"""

from __future__ import annotations

import asyncio
import contextlib
import math
import re
import secrets
from typing import Any, Callable

import orjson
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, RedirectResponse, Response, StreamingResponse
from starlette.routing import Mount, Route

from corvane.serve.nets import NetError
from corvane.serve.pages import shell_page
from corvane.serve.source import LiveLayout, LoadError

__all__ = ["make_app"]

HEADERS = {"Cache-Control": "no-store", "Referrer-Policy": "no-referrer", "X-Content-Type-Options": "nosniff"}
# Seconds between checks whether the server stops, and between keep-alive comments.
EVENT_TICK = 0.2
KEEP_ALIVE = 15.0
_SHOWN_LAYER = re.compile(r"\((\d+), (\d+)\)$")
_PAIR = re.compile(r"(\d+)/(\d+)")


class _TokenGate:
    """Refuses every HTTP request whose first path segment is not the token."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token.encode()

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] == "http":
            first = scope["path"].lstrip("/").split("/", 1)[0].encode()
            if not secrets.compare_digest(first, self.token):
                refused = PlainTextResponse(
                    "forbidden: this address needs the token that corvane view --serve printed", 403, headers=HEADERS
                )
                await refused(scope, receive, send)
                return
        await self.app(scope, receive, send)


def _json(value: Any, status: int = 200) -> Response:
    return Response(orjson.dumps(value), status, media_type="application/json", headers=HEADERS)


def _layer_pair(text: str) -> tuple[int, int] | None:
    """(layer, datatype) of a layer as the page names it ("met1 (68, 20)") or of "68/20"."""
    match = _SHOWN_LAYER.search(text) or _PAIR.fullmatch(text.strip())
    return (int(match.group(1)), int(match.group(2))) if match else None


def make_app(live: LiveLayout, token: str, stopping: Callable[[], bool], watch: bool = True) -> Starlette:
    """The application for ``live`` under ``/token/``; ``stopping()`` says when open event streams end."""

    async def shell(request: Request) -> Response:
        return Response(shell_page({"file": live.path.name}), media_type="text/html; charset=utf-8", headers=HEADERS)

    def version_of(request: Request) -> Any:
        return live.recent.get(request.path_params["n"])

    def gone() -> Response:
        return PlainTextResponse("gone: newer versions of the layout replaced this one", 410, headers=HEADERS)

    async def page(request: Request) -> Response:
        version = version_of(request)
        if version is None:
            return gone()
        made, _ = await asyncio.to_thread(version.pages)
        return Response(made, media_type="text/html; charset=utf-8", headers=HEADERS)

    async def message(request: Request) -> Response:
        version = version_of(request)
        if version is None:
            return gone()
        return Response(version.message, media_type="application/json", headers=HEADERS)

    async def page_data(request: Request) -> Response:
        version = version_of(request)
        if version is None:
            return gone()
        _, data = await asyncio.to_thread(version.pages)
        return Response(data, media_type="application/json", headers=HEADERS)

    async def events(request: Request) -> Response:
        async def stream() -> Any:
            yield b"retry: 1000\n\n"
            sent = None
            quiet = 0.0
            while not stopping():
                changed = live.changed  # taken before the state, so no change is missed
                state = orjson.dumps(live.state())
                if state != sent:
                    yield b"event: state\ndata: " + state + b"\n\n"
                    sent, quiet = state, 0.0
                try:
                    await asyncio.wait_for(changed.wait(), EVENT_TICK)
                except asyncio.TimeoutError:
                    quiet += EVENT_TICK
                    if quiet >= KEEP_ALIVE:
                        yield b": still here\n\n"
                        quiet = 0.0

        return StreamingResponse(
            stream(), media_type="text/event-stream", headers={**HEADERS, "X-Accel-Buffering": "no"}
        )

    async def net(request: Request) -> Response:
        query = request.query_params
        version = live.current
        try:
            wanted = int(query.get("v", ""))
            x, y = float(query.get("x", "")), float(query.get("y", ""))
            near = float(query.get("near", "0") or 0)
        except ValueError:
            return _json({"error": "v, x and y must be numbers"}, 400)
        if not (math.isfinite(x) and math.isfinite(y) and math.isfinite(near)):
            return _json({"error": "x, y and near must be finite"}, 400)
        pair = _layer_pair(query.get("layer", ""))
        if pair is None:
            return _json({"error": 'layer must be named as the page names it ("met1 (68, 20)") or as 68/20'}, 400)
        if version is None or wanted != version.number:
            shown = version.number if version else None
            return _json({"error": f"the layout changed: version {shown} is shown now", "version": shown}, 409)
        if version.nets_unavailable:
            return _json({"error": version.nets_unavailable}, 503)
        try:
            tracing = await asyncio.to_thread(version.nets)
            found = await asyncio.to_thread(tracing.trace, query.get("cell") or None, x, y, pair, near)
        except (NetError, LoadError) as exc:
            return _json({"error": str(exc)}, 422)
        except Exception as exc:  # KLayout's own failures: said to the page, which shows them
            return _json({"error": f"the trace failed: {type(exc).__name__}: {exc}"}, 500)
        found["version"] = version.number
        return _json(found)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> Any:
        stop = asyncio.Event()
        if live.current is not None:
            live.prepare(live.current)
        watcher = asyncio.create_task(live.watch(stop)) if watch else None
        try:
            yield
        finally:
            stop.set()
            if watcher is not None:
                watcher.cancel()
                with contextlib.suppress(asyncio.CancelledError, Exception):
                    await watcher

    routes = [
        Route(f"/{token}", lambda request: RedirectResponse(f"/{token}/", headers=HEADERS)),
        Mount(
            f"/{token}",
            routes=[
                Route("/", shell),
                Route("/events", events),
                Route("/page/{n:int}", page),
                Route("/message/{n:int}", message),
                Route("/data/{n:int}", page_data),
                Route("/net", net),
            ],
        ),
    ]
    middleware = [
        Middleware(TrustedHostMiddleware, allowed_hosts=["127.0.0.1", "localhost"]),
        Middleware(_TokenGate, token=token),
    ]
    return Starlette(routes=routes, middleware=middleware, lifespan=lifespan)
