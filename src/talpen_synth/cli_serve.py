"""The event stream over WebSocket, one paced replay per client.

Every client that connects gets a run cursor of its own, which makes the run
chunk by chunk as that client's replay goes: the first event leaves at once,
memory stays flat whatever the bar count, and a slow client holds back no
one else. Each client gets every event from the first one, one text message
per event, on its own schedule, and then a normal close. The server listens
on loopback addresses only: it is a local test feed, not a service.
"""

from __future__ import annotations

import asyncio
import ipaddress
from collections.abc import Callable, Iterator
from typing import Any

from ._spec import SpecFields
from .cli_args import counted
from .cli_spec import CliError
from .cli_stream import Pacing, event_chunks


def loopback_host(host: str) -> str:
    """The address to listen on, or CliError (usage) for one off this machine."""
    if host == "localhost":
        return "127.0.0.1"
    try:
        if ipaddress.ip_address(host).is_loopback:
            return host
    except ValueError:
        pass
    raise CliError(f"--host {host}: serve listens on loopback addresses only (127.0.0.1, ::1)", status=2)


def _url(host: str, port: int) -> str:
    return f"ws://[{host}]:{port}" if ":" in host else f"ws://{host}:{port}"


Log = Callable[[str], None]


# A fresh replay for one client: chunks of JSON lines, each with the time
# (seconds after the client's start) its first line is due (None: at once).
Replay = Callable[[], Iterator[tuple[float | None, bytes]]]


def serve(spec_text: str, spec: SpecFields, host: str, port: int, pacing: Pacing, clients: int,
          log: Log | None = None, failed: Log | None = None) -> int:
    """Serves one run until `clients` replays have ended (0: until
    interrupted); `log` is told of every connection and disconnection.
    Returns the number of replays the run's failure ended (see serve_replays)."""
    bars = spec["bars"]
    what = f"{bars} bar{'s' if bars != 1 else ''} of events"
    return serve_replays(lambda: event_chunks(spec_text, spec, pacing), what, host, port, pacing, clients, log, failed)


def serve_replays(replay: Replay, what: str, host: str, port: int, pacing: Pacing, clients: int,
                  log: Log | None = None, failed: Log | None = None) -> int:
    """Serves `replay()` to every client; `what` names the feed in the
    opening line ("serving <what> on ws://…"). A run that fails
    (ValueError, "numeric: …") ends the replay: the client gets a close with
    code 1011 and the error as its reason, and `failed` the error and how far
    the replay got. Returns the number of replays so ended."""
    return asyncio.run(_serve(replay, what, host, port, pacing, clients, log, failed))


def _close_reason(text: str) -> str:
    """`text` cut to fit a close frame's reason (123 bytes of UTF-8)."""
    data = text.encode()
    return text if len(data) <= 123 else data[:120].decode(errors="ignore") + "..."


def _peer(ws: Any) -> str:
    address = getattr(ws, "remote_address", None)
    if not address:
        return "a client"
    host, port = address[0], address[1]
    return f"[{host}]:{port}" if ":" in str(host) else f"{host}:{port}"


def _serve_function() -> Callable[..., Any]:
    try:
        from websockets.asyncio.server import serve
    except ImportError:  # websockets before 13 has only the older implementation
        from websockets.server import serve  # type: ignore[attr-defined,no-redef]
    return serve


async def _serve(make_replay: Replay, what: str, host: str, port: int, pacing: Pacing, clients: int,
                 log: Log | None = None, failed: Log | None = None) -> int:
    from websockets.exceptions import ConnectionClosed

    loop = asyncio.get_running_loop()
    finished = 0
    failures = 0
    connected = 0
    all_done = asyncio.Event()

    # The connection of either implementation: both send, close and raise ConnectionClosed alike.
    async def replay(ws: Any, *_: object) -> None:
        nonlocal finished, connected, failures
        connected += 1
        peer = _peer(ws)
        sent = 0
        if log is not None:
            log(f"{peer} connected (client {connected})")
        outcome = "left early"
        chunks = make_replay()
        try:
            start = loop.time()
            # Each chunk is made in a worker thread (the cursor works without
            # the interpreter lock), so other clients are served meanwhile.
            while (item := await asyncio.to_thread(next, chunks, None)) is not None:
                due, lines = item
                for k, line in enumerate(lines.decode().splitlines()):
                    if due is not None:
                        wait = start + due + (k / pacing.rate if pacing.rate is not None else 0.0) - loop.time()
                        if wait > 0:
                            await asyncio.sleep(wait)
                    await ws.send(line)
                    sent += 1
            await ws.close()
            outcome = "disconnected"
        except ConnectionClosed:
            pass  # the client left early; its replay simply ends
        except asyncio.CancelledError:
            # The server is stopping: the client is told so ("going away"),
            # not of an internal error.
            outcome = "cut off by the server stopping"
            try:
                await asyncio.wait_for(ws.close(1001, "the server is stopping"), 1.0)
            except Exception:
                pass
            raise
        except ValueError as e:  # the run failed: every replay of it fails there
            outcome = "failed"
            failures += 1
            if failed is not None:
                failed(f"{e} (the replay to {peer} ended after {counted(sent, 'event')})")
            try:
                await ws.close(1011, _close_reason(str(e)))
            except ConnectionClosed:
                pass
        finally:
            finished += 1
            if log is not None and outcome != "failed":
                # Sent, not read: a client that leaves early has read fewer.
                total = f"{sent} of " if outcome == "disconnected" else ""
                log(f"{peer} {outcome} after {total}{counted(sent, 'event')}" + ("" if total else " sent"))
            if clients and finished >= clients:
                all_done.set()

    try:
        server = await _serve_function()(replay, host, port)
    except OSError as e:
        raise CliError(f"cannot listen on {_url(host, port)}: {e.strerror or e}") from None
    async with server:
        bound = server.sockets[0].getsockname()[1]
        print(f"serving {what} on {_url(host, bound)}", flush=True)
        if clients:
            await all_done.wait()
        else:
            await asyncio.Future()  # until interrupted
    return failures
