"""SPSCQueue's Python methods called from several threads at once."""

import threading
import time

import pytest

from korvo.spsc_queue.spsc_queue import SPSCQueue

pytestmark = pytest.mark.free_threading

DEADLINE = 120


@pytest.mark.parametrize(("push", "pop"), [("push", "try_pop"), ("push_var", "try_pop_var")])
@pytest.mark.parametrize("block_on_full", [True, False], ids=["block", "retry"])
def test_python_threads_take_turns_on_each_side(push, pop, block_on_full):
    # Three threads push and two pop at once: Python threads take turns as the ring's one producer
    # and one consumer, so every message arrives once, intact, and each pusher's in its order.
    # Pushes that wait for space (block_on_full) hold their side while the poppers go on.
    pushers, per_pusher = 3, 500
    q = SPSCQueue(slot_size=32, capacity=8, block_on_full=block_on_full)
    taken = [[] for _ in range(2)]
    refused = []

    def pusher(p):
        for i in range(per_pusher):
            message = b"%d:%d:" % (p, i) + b"x" * (i % 17)
            while (r := getattr(q, push)(message)) == -1:  # full, without block_on_full: again
                time.sleep(0)
            if r != 0:
                refused.append(r)

    def popper(c, total=pushers * per_pusher):
        while sum(map(len, taken)) < total and not q.stopped:
            message = getattr(q, pop)()
            if message is not None:
                taken[c].append(message)
            else:
                time.sleep(0)  # lets the pushers in on the default build

    threads = [threading.Thread(target=pusher, args=(p,), daemon=True) for p in range(pushers)]
    threads += [threading.Thread(target=popper, args=(c,), daemon=True) for c in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    alive = any(t.is_alive() for t in threads)
    q.stop()  # frees a thread that is stuck, so a failure ends here
    assert not alive and refused == []
    seen = {}
    for message in taken[0] + taken[1]:
        p, i, tail = message.split(b":")
        assert tail == b"x" * (int(i) % 17)
        seen.setdefault(int(p), []).append(int(i))
    assert {p: sorted(v) for p, v in seen.items()} == {p: list(range(per_pusher)) for p in range(pushers)}
    for c in range(2):  # one popper's share of a pusher's messages keeps their order
        for p in range(pushers):
            mine = [int(m.split(b":")[1]) for m in taken[c] if m.startswith(b"%d:" % p)]
            assert mine == sorted(mine)
    assert q.pushed == q.popped == pushers * per_pusher and len(q) == 0
