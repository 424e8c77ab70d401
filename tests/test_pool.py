"""The worker pool: its size, its parallel operations, failures carried out of
workers, fork, and failed starts.

The pool is process-wide and sized once, so everything that depends on the
worker count or on how the pool starts runs in a fresh interpreter with the
count fixed through the environment.
"""

import random
import textwrap

import pytest

import _veltra_testing as T
from conftest import failure, run_child

NOT_INITIALIZED = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "


def run_python(code, env=None, preload=None):
    """(what the child reported, its standard error) of `code` run with the test module as T."""
    result, _, stderr = run_child("import _veltra_testing as T\n" + textwrap.dedent(code), env=env, preload=preload)
    return result, stderr


def panic_message(call, *args):
    name, message = failure(call, *args)
    assert name == "PanicException"
    return message


# --- Worker count ----------------------------------------------------------------

# (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, count); the CPU-count default is 7.
@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [
        (b"4", b"9", 4),
        (b"+4", None, 4),
        (b" 4", b"3", 3),
        (b"-4", b"3", 3),
        (b"", b"3", 3),
        (b"\xff4", b"3", 3),
        (b"18446744073709551616", b"3", 3),
        (b"0", b"3", 7),
        (None, b"0", 7),
        (b"x", b"x", 7),
        (b"100000", None, 65535),
        (b"65535", None, 65535),
        (None, b"100000", 65535),
    ],
)
def test_worker_count_rules(num_threads, rs_num_cpus, expected):
    assert T.pool_worker_count_for(num_threads, rs_num_cpus) == expected


# The child pins itself to one CPU, so the CPU-count default is 1.
@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "4x", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, 1),
        ({}, 1),
    ],
)
def test_worker_count_from_environment(env, expected):
    (n, gained, again, on_worker, in_map), _ = run_python(
        """
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        before = threads()
        n = T.pool_current_num_threads()
        after = wait_for_threads(lambda now: now >= before + n)
        report([n, after - before, T.pool_current_num_threads(),
                          T.pool_num_threads_on_worker(), T.pool_bridge_map(0)])
        """,
        env,
    )
    assert [n, gained, again, on_worker] == [expected] * 4
    assert in_map == []


# --- run_on_pool and join -----------------------------------------------------------


def test_run_on_pool_from_outside_is_injected():
    assert T.pool_run_on_pool_flag() is True
    assert T.pool_num_threads_on_worker() == T.pool_current_num_threads()


@pytest.mark.parametrize(
    "a_fails, b_fails, message",
    [(False, False, None), (True, False, "left failed"), (False, True, "right failed"), (True, True, "left failed")],
)
def test_join_runs_both_halves_and_left_failure_wins(a_fails, b_fails, message, panics):
    if message is None:
        assert T.pool_join_outcome(a_fails, b_fails) == (1, 2)
    else:
        assert panic_message(T.pool_join_outcome, a_fails, b_fails) == message
    # Each failing half reports, in whichever order they fail.
    assert sorted(panics.take()) == ["left failed"] * a_fails + ["right failed"] * b_fails


@pytest.mark.parametrize("leaves", [1, 3, 4096])
def test_nested_joins(leaves):
    assert T.pool_nested_join(leaves) == leaves * (leaves - 1) // 2
    assert T.pool_last_visits() == [leaves]


@pytest.mark.parametrize("fail_at", [0, 1234, 4095])
def test_nested_join_failure_waits_for_every_other_leaf(fail_at, panics):
    assert panic_message(T.pool_nested_join, 4096, fail_at) == f"leaf {fail_at} failed"
    assert panics.take() == [f"leaf {fail_at} failed"]
    assert T.pool_last_visits() == [4095]
    assert T.pool_nested_join(64) == 64 * 63 // 2


# --- parallel_concat -----------------------------------------------------------------


def joined(items, itemsize, skew):
    parts = [item[skew:][: (len(item) - skew) // itemsize * itemsize] if len(item) > skew else b"" for item in items]
    starts, at = [], 0
    for part in parts:
        starts.append(at)
        at += len(part) // itemsize
    return b"".join(parts), starts


rng = random.Random(1)
MANY = [rng.randbytes(rng.choice([0, 1, 7, 8, 64, 1000])) for _ in range(500)]


@pytest.mark.parametrize(
    "items, itemsize, skew",
    [
        ([], 8, 0),
        ([b"abc", b"", b"de"], 1, 0),
        ([b"only one slice"], 1, 0),
        ([bytes(range(24)), b"", bytes(range(8))], 8, 0),
        ([bytes(range(25)), b"x", bytes(range(100, 117))], 8, 1),
        (MANY, 1, 0),
        (MANY, 8, 0),
        (MANY, 8, 3),
    ],
)
def test_parallel_concat(items, itemsize, skew):
    assert T.pool_concat(items, itemsize, skew) == joined(items, itemsize, skew)


@pytest.mark.parametrize(
    "kind, exception, message",
    [
        ("alloc", "MemoryError", "memory allocation of 4611686018427387904 bytes failed"),
        ("bytes", "PanicException", "capacity overflow"),
        ("sum", "PanicException", "capacity overflow"),
    ],
)
def test_parallel_concat_impossible_sizes(kind, exception, message, panics):
    with pytest.raises(BaseException) as info:
        T.pool_concat_impossible(kind)
    assert (type(info.value).__name__, str(info.value)) == (exception, message)
    assert panics.take() == ([message] if exception == "PanicException" else [])
    assert T.pool_concat([b"still", b"works"], 1) == (b"stillworks", [0, 5])


# --- parallel_bridge_map ---------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 1000])
def test_bridge_map_runs_every_index_once(count):
    result = T.pool_bridge_map(count)
    assert sorted(result) == list(range(count))
    assert T.pool_last_visits() == [1] * count
    if count <= 1:
        assert result == list(range(count))


@pytest.mark.parametrize("workers", [1, 3])
def test_bridge_map_failure_arrives_after_every_other_index(workers):
    (outcomes, order), stderr = run_python(
        """
        outcomes = []
        for fail_at in (0, 37, 99):
            outcomes.append([failure(T.pool_bridge_map, 100, fail_at), T.pool_last_visits()])
        outcomes.append([failure(T.pool_bridge_map, 100, 50, "alloc"), T.pool_last_visits()])
        report([outcomes, T.pool_bridge_map(100)])
        """,
        {"RAYON_NUM_THREADS": str(workers)},
    )
    for fail_at, (error, visits) in zip((0, 37, 99), outcomes):
        assert error == ["PanicException", f"index {fail_at} failed"]
        assert visits == [0 if i == fail_at else 1 for i in range(100)]
    error, visits = outcomes[3]
    assert error == ["MemoryError", "memory allocation of 4611686018427387904 bytes failed"]
    assert visits == [0 if i == 50 else 1 for i in range(100)]
    # Each panic reported once, where it happened; the allocation failure not at all.
    assert stderr.count("panicked at") == 3
    assert sorted(order) == list(range(100))
    if workers == 1:
        assert order == list(range(100))


@pytest.mark.parametrize("workers", [1, 3])
def test_ordered_map_gives_index_order_and_the_lowest_failure(workers):
    # Indices 60 to 99 fail, 60 last of all as a rule: still its failure is raised.
    (ordered, (error, visits)), stderr = run_python(
        """
        ordered = T.pool_ordered_map(100)
        report([ordered, [failure(T.pool_ordered_map, 100, 60, "from"), T.pool_last_visits()]])
        """,
        {"RAYON_NUM_THREADS": str(workers)},
    )
    assert ordered == list(range(100))
    assert error == ["PanicException", "index 60 failed"]
    assert visits == [int(i < 60) for i in range(100)]
    assert stderr.count("panicked at") == 40


# --- parallel_indexed_collect -------------------------------------------------------


@pytest.mark.parametrize(
    "a, b",
    [([], []), ([1, 2, 3], [4, 5]), (list(range(1000)), list(range(1000, 2000)))],
)
def test_indexed_collect_in_input_order(a, b):
    assert T.pool_indexed_collect(a, b) == [x * 1000 + y for x, y in zip(a, b)]
    assert T.pool_live_tracked() == 0


@pytest.mark.parametrize("fail_at", [0, 500, 999])
def test_indexed_collect_failure_destroys_written_values(fail_at, panics):
    values = list(range(1000))
    assert panic_message(T.pool_indexed_collect, values, values, fail_at) == f"index {fail_at} failed"
    assert panics.take() == [f"index {fail_at} failed"]
    assert T.pool_live_tracked() == 0
    assert T.pool_indexed_collect([1, 2], [3, 4]) == [1003, 2004]


# --- fork ----------------------------------------------------------------------------


def test_forked_child_starts_its_own_pool():
    (child, parent), _ = run_python(
        """
        import multiprocessing as mp

        def work():
            data, starts = T.pool_concat([b"ab", b"", b"c"], 1)
            return [sorted(T.pool_bridge_map(50)), data.decode(), starts,
                    T.pool_nested_join(256), T.pool_current_num_threads()]

        def child(queue):
            queue.put(work())

        work()  # the parent's pool is running now
        ctx = mp.get_context("fork")
        queue = ctx.Queue()
        process = ctx.Process(target=child, args=(queue,))
        process.start()
        result = queue.get(timeout=60)
        process.join(60)
        assert process.exitcode == 0, process.exitcode
        report([result, work()])
        """,
        {"RAYON_NUM_THREADS": "2"},
    )
    expected = [list(range(50)), "abc", [0, 2, 2], 256 * 255 // 2, 2]
    assert child == expected
    assert parent == expected


# --- failed starts -------------------------------------------------------------------


def test_thread_creation_failure_fails_the_start_for_good(shim):
    (first, second, in_child, gained), _ = run_python(
        f"""
        import ctypes, multiprocessing as mp
        before = threads()
        ctypes.CDLL({str(shim)!r}).shim_fail_after(2, 11)
        first = failure(T.pool_current_num_threads)
        second = failure(T.pool_bridge_map, 3)
        # The two workers that did start are told to go away again.
        after = wait_for_threads(lambda now: now <= before)

        def child(conn):
            conn.send(failure(T.pool_current_num_threads))

        # A pipe, not a queue: a queue would need a thread of its own.
        ctx = mp.get_context("fork")
        receiver, sender = ctx.Pipe(duplex=False)
        process = ctx.Process(target=child, args=(sender,))
        process.start()
        assert receiver.poll(60)
        in_child = receiver.recv()
        process.join(60)
        report([first, second, in_child, after - before])
        """,
        {"RAYON_NUM_THREADS": "4"},
        preload=shim,
    )
    os_error = 'Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }'
    assert first == ["PanicException", NOT_INITIALIZED + f"IOError({os_error}) }}"]
    assert second == ["PanicException", NOT_INITIALIZED + "GlobalPoolAlreadyInitialized }"]
    assert in_child == second
    assert gained == 0


def test_unsupported_thread_creation_runs_everything_on_the_caller(shim):
    (n, injected, order, concat, total, gained), _ = run_python(
        f"""
        import ctypes
        before = threads()
        ctypes.CDLL({str(shim)!r}).shim_fail_after(0, 38)
        report([T.pool_current_num_threads(), T.pool_run_on_pool_flag(), T.pool_bridge_map(20),
                          T.pool_concat([b"ab", b"c"], 1)[1], T.pool_nested_join(100), threads() - before])
        """,
        {"RAYON_NUM_THREADS": "4"},
        preload=shim,
    )
    assert (n, injected, order, concat, total, gained) == (1, False, list(range(20)), [0, 2], 4950, 0)
