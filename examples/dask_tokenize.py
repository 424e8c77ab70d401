"""Tokenise a directory of FASTA shards with veltra_native on a Dask distributed cluster.

    python examples/dask_tokenize.py SHARD_DIR                          # local cluster, 2 x 1
    python examples/dask_tokenize.py SHARD_DIR --workers 4 --module-threads 2 --output all.npz
    python examples/dask_tokenize.py SHARD_DIR --scheduler tcp://10.0.0.5:8786

Every shard (a file ending in .fa, .fasta, .faa or .fna, or matching --pattern) is one task. A
task runs `parse_fasta` in a worker process and sends the shard's (tokens, offsets, ids) back to
this process, which prints a line per shard and can join all shards into one set of arrays.

How the work is spread. `parse_fasta` holds the interpreter lock for its whole call and
parallelises inside it on the module's own pool of native threads. A second Dask thread in the
same worker process would only wait for the lock, so each worker process runs one task at a time
(`threads_per_worker=1`, or `dask worker --nthreads 1`), and the module's pool in that process
supplies the parallelism. Cores used = worker processes x module threads; choose the two so that
their product is the number of cores (more processes for many small shards, more module threads
for a few large ones: files below 100,000 bytes are parsed on one thread anyway).

How the module's thread count reaches the worker processes. The module reads RAYON_NUM_THREADS
(falling back to the CPUs the process may use) once per process, when the first call starts its
pool; later changes have no effect. So the variable has to be in the worker process's environment
before its first call. A LocalCluster passes `env` to each worker's nanny, which puts the
variables into the worker process's environment before that process starts running tasks; this
is what `make_cluster` does. For workers started with `dask worker`, set the variable in the
shell that starts them (`RAYON_NUM_THREADS=2 dask worker tcp://... --nworkers 4 --nthreads 1`)
or in Dask's configuration under `distributed.nanny.environ`. `worker_thread_counts` asks every
worker what it has.

Notes for real pipelines:
- Worker processes must see the shard paths (a shared file system) and have veltra_native
  installed; the task functions of this file travel to them by pickling.
- Gathering brings every shard's arrays into this process. For data larger than its memory, have
  the tasks save their arrays next to the shards instead and return only the counts.
- Each call prints three progress lines to the worker process's standard output (its log).
- A shard that the module cannot parse (a header that is not a number, an unreadable file)
  raises PanicException in the worker. That class derives from BaseException and exists only
  inside the worker process, so `tokenize_shard` turns it into a RuntimeError naming the shard;
  the worker process stays usable.
"""

from __future__ import annotations

import argparse
import fnmatch
import os
import sys
from pathlib import Path
from typing import Any, Iterable

import numpy as np

WORKERS_ENV = "RAYON_NUM_THREADS"
FASTA_SUFFIXES = (".fa", ".fasta", ".faa", ".fna")

# (tokens uint8, offsets int64, ids uint64), as parse_fasta returns them.
Shard = tuple[np.ndarray, np.ndarray, np.ndarray]


def find_shards(directory: str | os.PathLike[str], pattern: str | None = None) -> list[str]:
    """The shard files of `directory` (not its subdirectories), sorted by name."""
    names = sorted(entry.name for entry in os.scandir(directory) if entry.is_file())
    if pattern is not None:
        names = [name for name in names if fnmatch.fnmatchcase(name, pattern)]
    else:
        names = [name for name in names if name.endswith(FASTA_SUFFIXES)]
    return [str(Path(directory, name).resolve()) for name in names]


def tokenize_shard(path: str, is_rna: bool) -> Shard:
    """One task: parse one shard in the worker process that runs it."""
    # Imported here, in the worker process, after its environment has been set up.
    import veltra_native

    try:
        return veltra_native.parse_fasta(path, np.zeros(5, np.uint8), is_rna)
    except Exception:
        raise
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise  # SystemExit, KeyboardInterrupt
        raise RuntimeError(f"parse_fasta failed on {path}: {exc}") from None


def worker_thread_counts(client: Any) -> dict[str, str | None]:
    """RAYON_NUM_THREADS as each worker process sees it, by worker address."""
    # os.getenv runs in the worker; a bound os.environ.get would carry this process's environment.
    return client.run(os.getenv, WORKERS_ENV)


def make_cluster(n_workers: int = 2, module_threads: int = 1, **cluster_options: Any) -> Any:
    """A LocalCluster of single-threaded worker processes, each with `module_threads` module threads."""
    from distributed import LocalCluster

    options: dict[str, Any] = {"dashboard_address": None}
    options.update(cluster_options)
    env = {**options.pop("env", {}), WORKERS_ENV: str(module_threads)}
    return LocalCluster(n_workers=n_workers, processes=True, threads_per_worker=1, env=env, **options)


def tokenize_shards(client: Any, paths: list[str], is_rna: bool, timeout: float | None = None) -> list[Shard]:
    """Every shard's arrays, in the order of `paths`; the first failed shard's error is raised."""
    from distributed import wait

    futures = client.map(tokenize_shard, paths, is_rna=is_rna, pure=False)
    try:
        wait(futures, timeout=timeout)
        return client.gather(futures)
    finally:
        client.cancel(futures)


def join_shards(shards: Iterable[Shard]) -> Shard:
    """One (tokens, offsets, ids) for all shards in order, as if their files were one file.

    Holds when every shard file ends with a line break (or is empty).
    """
    import veltra_native

    shards = list(shards)
    if not shards:
        return np.zeros(0, np.uint8), np.zeros(1, np.int64), np.zeros(0, np.uint64)
    tokens, offsets = veltra_native.concatenate_awkward([(t, o) for t, o, _ in shards])
    ids, _ = veltra_native.concatenate_numpy([i for _, _, i in shards])
    return tokens, offsets, ids.view(np.uint64)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("directory", help="directory of FASTA shards")
    parser.add_argument("--pattern", help="shard file names to take, e.g. '*.fa' (default: FASTA suffixes)")
    parser.add_argument("--is-rna", action="store_true", help="nucleotide alphabet (default: protein)")
    parser.add_argument("--scheduler", help="address of a running cluster (default: start a local one)")
    parser.add_argument("--workers", type=int, default=2, help="local cluster: worker processes")
    parser.add_argument(
        "--module-threads", type=int, default=1, help=f"local cluster: {WORKERS_ENV} in each worker process"
    )
    parser.add_argument("--timeout", type=float, default=None, help="seconds to wait for all shards")
    parser.add_argument("--output", help="save the joined arrays to this .npz file")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.module_threads < 1:
        parser.error("--workers and --module-threads must be positive")

    from distributed import Client

    paths = find_shards(args.directory, args.pattern)
    if not paths:
        print(f"no shards in {args.directory}", file=sys.stderr)
        return 1
    cluster = None if args.scheduler else make_cluster(args.workers, args.module_threads)
    try:
        with Client(args.scheduler or cluster) as client:
            for address, count in sorted(worker_thread_counts(client).items()):
                print(f"worker {address}: {WORKERS_ENV}={count}")
            shards = tokenize_shards(client, paths, args.is_rna, timeout=args.timeout)
    finally:
        if cluster is not None:
            cluster.close()

    for path, (tokens, offsets, ids) in zip(paths, shards):
        records = np.unique(ids).size
        print(f"{Path(path).name}: {ids.size} lines in {records} records, {tokens.size} tokens")
    tokens, offsets, ids = join_shards(shards)
    print(f"all {len(paths)} shards: {ids.size} lines, {tokens.size} tokens")
    if args.output:
        np.savez(args.output, tokens=tokens, offsets=offsets, ids=ids)
        print(f"saved to {args.output}")
    return 0


if __name__ == "__main__":
    # Worker processes are started by spawning: this guard keeps them from running main() again.
    sys.exit(main())
