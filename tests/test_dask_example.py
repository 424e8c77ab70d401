"""examples/dask_tokenize.py on a two-process LocalCluster, against single-process results."""

import logging
import os
import random
import re
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("dask")
pytest.importorskip("distributed")

import _veltra_testing  # noqa: E402
import dask  # noqa: E402
from distributed import Client  # noqa: E402

import veltra_native  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
MODULE_THREADS = 2
# Generous bounds: worker processes start slowly on a busy machine or under a sanitizer.
TIMEOUT = 300
SINGLE_CHUNK_BELOW = 100_000
REPORT = re.compile(r"^thread '<unnamed>' panicked at [^\n]*:\d+:\d+:\n(.*)\n", re.M)


@pytest.fixture(scope="module")
def example():
    # Worker processes are spawned with this process's sys.path, so they find the example's
    # functions by name as this process does.
    sys.path.insert(0, str(EXAMPLES))
    try:
        import dask_tokenize

        yield dask_tokenize
    finally:
        sys.path.remove(str(EXAMPLES))
        sys.modules.pop("dask_tokenize", None)


def fasta_records(rng, count, first_id, alphabet, max_len, width):
    lines = []
    for record_id in range(first_id, first_id + count):
        lines.append(f">{record_id}")
        residues = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, max_len)))
        lines.extend(residues[i : i + width] for i in range(0, len(residues), width))
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def shard_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shards")
    rng = random.Random(7)
    nucleotides = "ACGTUNacgt"
    shards = {
        # Text before the first header belongs to no record.
        "a.fa": "preamble without a header\n" + fasta_records(rng, 20, 1, nucleotides, 200, 60),
        # Large enough to be split into one chunk per module thread.
        "b.fa": fasta_records(rng, 400, 100, nucleotides, 700, 70),
        "c.fasta": "",
        "d.fna": ">+7\nAC\n\nGT\n>8\n>009\nUUU\n",
    }
    for name, text in shards.items():
        (directory / name).write_text(text)
    (directory / "notes.txt").write_text(">1\nnot a shard\n")
    (directory / "sub.fa").mkdir()
    assert (directory / "b.fa").stat().st_size >= SINGLE_CHUNK_BELOW
    return directory


@pytest.fixture(scope="module")
def worker_stderr(tmp_path_factory):
    """The file that the worker processes have as standard error, so that the panic reports
    of the failing shards stay off the terminal and can be checked."""
    return tmp_path_factory.mktemp("workers") / "stderr"


@pytest.fixture(scope="module")
def cluster(example, worker_stderr):
    config = {
        "distributed.comm.timeouts.connect": f"{TIMEOUT}s",
        "distributed.comm.timeouts.tcp": f"{TIMEOUT}s",
    }
    with dask.config.set(config), open(worker_stderr, "wb") as log:
        # The processes started now inherit descriptor 2.
        saved = os.dup(2)
        os.dup2(log.fileno(), 2)
        try:
            cluster = example.make_cluster(
                2, MODULE_THREADS, host="127.0.0.1", memory_limit=0, silence_logs=logging.ERROR
            )
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        try:
            yield cluster
        finally:
            cluster.close(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def client(cluster):
    with Client(cluster, timeout=TIMEOUT) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        yield client


@pytest.fixture(scope="module")
def gathered(example, client, shard_dir):
    paths = example.find_shards(shard_dir)
    return paths, example.tokenize_shards(client, paths, True, timeout=TIMEOUT)


def parse_here(path, is_rna=True):
    return veltra_native.parse_fasta(str(path), np.zeros(5, np.uint8), is_rna)


def assert_same_arrays(got, want):
    for part, expected in zip(got, want):
        assert part.dtype == expected.dtype
        np.testing.assert_array_equal(part, expected)


def test_workers_are_single_threaded_processes_with_the_module_thread_count(client):
    assert list(client.nthreads().values()) == [1, 1]
    pids = client.run(os.getpid)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    assert set(client.run(os.getenv, "RAYON_NUM_THREADS").values()) == {str(MODULE_THREADS)}
    # The pool of the test module reads the same environment as the module's own pool.
    assert set(client.run(_veltra_testing.pool_current_num_threads).values()) == {MODULE_THREADS}


def test_shards_match_single_process_results(gathered, shard_dir):
    paths, results = gathered
    assert [Path(p).name for p in paths] == ["a.fa", "b.fa", "c.fasta", "d.fna"]
    for path, result in zip(paths, results):
        assert_same_arrays(result, parse_here(path))
    _, offsets, ids = results[3]
    assert ids.tolist() == [7, 7, 7, 9] and offsets.tolist() == [0, 2, 2, 4, 7]


def test_joined_shards_match_a_parse_of_their_concatenation(example, gathered, tmp_path):
    paths, results = gathered
    whole = tmp_path / "whole.fa"
    whole.write_bytes(b"".join(Path(p).read_bytes() for p in paths))
    assert_same_arrays(example.join_shards(results), parse_here(whole))


@pytest.mark.parametrize(
    "name, text, message",
    [
        ("bad.fa", ">1\nAC\n>x1\nGG\n", "ParseIntError { kind: InvalidDigit }"),
        ("gone.fa", None, "Os { code: 2, kind: NotFound"),
    ],
    ids=["bad header", "missing file"],
)
def test_a_failing_shard_raises_runtime_error_and_workers_stay_usable(
    example, client, shard_dir, tmp_path, name, text, message, worker_stderr
):
    path = tmp_path / name
    if text is not None:
        path.write_text(text)
    good = str(shard_dir / "d.fna")
    workers = set(client.nthreads())
    seen = worker_stderr.stat().st_size
    with pytest.raises(RuntimeError) as info:
        example.tokenize_shards(client, [good, str(path)], True, timeout=TIMEOUT)
    assert str(info.value).startswith(f"parse_fasta failed on {path}: called `Result::unwrap()`")
    assert message in str(info.value)
    # The worker wrote its report before it answered.
    reports = REPORT.findall(worker_stderr.read_bytes()[seen:].decode(errors="replace"))
    assert reports == [str(info.value).removeprefix(f"parse_fasta failed on {path}: ")]
    # The same worker processes go on working.
    assert set(client.nthreads()) == workers
    [again] = example.tokenize_shards(client, [good], True, timeout=TIMEOUT)
    assert_same_arrays(again, parse_here(good))


def test_command_line_against_a_running_cluster(example, cluster, shard_dir, gathered, tmp_path, capsys):
    output = tmp_path / "all.npz"
    argv = [str(shard_dir), "--scheduler", cluster.scheduler_address, "--is-rna", "--output", str(output)]
    assert example.main(argv + ["--timeout", str(TIMEOUT)]) == 0
    out = capsys.readouterr().out
    assert out.count(f"RAYON_NUM_THREADS={MODULE_THREADS}") == 2
    assert "d.fna: 4 lines in 2 records, 7 tokens" in out
    saved = np.load(output)
    joined = example.join_shards(gathered[1])
    assert_same_arrays([saved[k] for k in ("tokens", "offsets", "ids")], joined)


def test_command_line_without_shards_starts_no_cluster(example, tmp_path, capsys):
    assert example.main([str(tmp_path)]) == 1
    assert "no shards" in capsys.readouterr().err
