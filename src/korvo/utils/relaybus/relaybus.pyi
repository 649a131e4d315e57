"""Message bridge: byte messages from native producer threads to Python consumers."""

from typing_extensions import disjoint_base
import asyncio as asyncio
import socket
import sys as sys
from collections.abc import Awaitable, Callable, Coroutine
from types import CapsuleType
from typing import Any

from korvo.quillet import DefaultLogger as DefaultLogger

logger: DefaultLogger
__pyx_capi__: dict[str, CapsuleType]

def setup_socket(blocking: object, recvbuf: int) -> socket.socket: ...

# Message kinds: 0 bytes, 1 text (UTF-8), 2 buffer, 3 bytes(obj), anything else automatic.
@disjoint_base
class CBufferView:
    def __init__(self, msg_kind: int = 4) -> None: ...

@disjoint_base
class KoPipe:
    def __init__(
        self,
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: object = False,
        overwrite: object = False,
        block_on_full: object = False,
        variable_size: object = False,
    ) -> None: ...

@disjoint_base
class SyncDispatcher:
    def __init__(
        self,
        callback: Callable[[bytes], object],
        capacity: int = 16384,
        slot_size: int = 2048,
        zerocopy: object = False,
        overwrite: object = False,
        block_on_full: object = False,
        variable_size: object = False,
        detach: object = True,
        nonblocking: object = True,
    ) -> None: ...
    def setup(self, host: str | None = "127.0.0.1", recvbuf: int = 16777216) -> None: ...
    def close(self) -> None: ...
    @property
    def running(self) -> bool: ...

@disjoint_base
class AsyncDispatcher:
    def __init__(
        self,
        callback: Callable[[bytes], Awaitable[object]],
        capacity: int = 16384,
        slot_size: int = 2048,
        overwrite: object = False,
        zerocopy: object = False,
        variable_size: object = False,
    ) -> None: ...
    def setup(self, host: str | None = "127.0.0.1", recvbuf: int = 16777216) -> None: ...
    def close(self) -> None: ...
    @property
    def running(self) -> bool: ...
    def _AsyncDispatcher__reader(self, loop: asyncio.AbstractEventLoop, sock: socket.socket, /) -> Coroutine[Any, Any, None]: ...
    def _AsyncDispatcher__reader_var(
        self, loop: asyncio.AbstractEventLoop, sock: socket.socket, /
    ) -> Coroutine[Any, Any, None]: ...

@disjoint_base
class AsyncQueue:
    def __init__(
        self,
        loop: asyncio.AbstractEventLoop | None = None,
        slot_size: int = 1024,
        capacity: int = 16384,
        overwrite: object = False,
        zerocopy: object = False,
        block_on_full: object = False,
    ) -> None: ...
    def start_dispatcher(self, callback: Callable[[bytes], Awaitable[object]], /) -> None: ...
    # The pushes raise asyncio.QueueFull when the queue is full (neither overwrite nor
    # block_on_full) and ValueError for a message longer than slot_size.
    def push_buf(self, msg: Any, /) -> Coroutine[Any, Any, None]: ...
    def push_obj(self, msg: Any, /) -> Coroutine[Any, Any, None]: ...
    def push_str(self, msg: str, /) -> Coroutine[Any, Any, None]: ...
    def pop(self) -> Coroutine[Any, Any, bytes]: ...
    def _AsyncQueue__dispatch(self) -> Coroutine[Any, Any, None]: ...
    def shutdown(self, *excinfo: object) -> Coroutine[Any, Any, None]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

def __pyx_unpickle_AsyncQueue(__pyx_type: type[AsyncQueue], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> AsyncQueue: ...
