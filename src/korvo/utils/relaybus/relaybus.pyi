"""Message bridge: byte messages from native producer threads to Python consumers."""

from typing_extensions import disjoint_base
import asyncio as asyncio
import socket
import sys as sys
from collections.abc import Callable
from types import CapsuleType

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
