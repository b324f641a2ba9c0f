"""map_frames and map_chunks here, on a spawned process pool and on a real Dask
cluster, and `quorvel neighbors --workers/--scheduler`: every way gives the
sequential results bit for bit."""

import concurrent.futures
import logging
import pickle
import socket
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import cli, engine, io, parallel

import frame_files as ff
import support

FRAMES = 11

# Debian's tornado says this of the event loop Dask's LocalCluster starts.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    return ff.write(tmp_path_factory.mktemp("parallel"), "run.xyz", ff.xyz_text(FRAMES))


@pytest.fixture(scope="module")
def sequential(path):
    return [ff.pairs(s) for s in io.iread(path)]


def assert_same_pairs(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        for x, y in zip(a, b):
            assert x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()


def chunk_sums(frames, size):
    """histogram_sum over consecutive chunks of frames, computed here."""
    return [ff.histogram_sum(frames[start:start + size]) for start in range(0, len(frames), size)]


def assert_same_chunks(got, expected):
    assert [numbers for _, numbers in got] == [numbers for _, numbers in expected]
    for (a, _), (b, _) in zip(got, expected):
        assert a.dtype == b.dtype and np.array_equal(a, b)


# ---------------------------------------------------------------------------
# In this process and on a pool


def test_here_in_frame_order(path, sequential):
    assert_same_pairs(quorvel.map_frames(ff.pairs, path), sequential)
    view = io.Frames(path)[::-3]
    assert_same_pairs(quorvel.map_frames(ff.pairs, view), sequential[::-3])
    assert quorvel.map_chunks(len, view) == [len(view)]
    assert_same_chunks(quorvel.map_chunks(ff.histogram_sum, view, chunk=2), chunk_sums(view, 2))
    assert quorvel.map_frames(ff.pairs, io.Frames(path)[4:4]) == []
    assert quorvel.map_chunks(len, io.Frames(path)[4:4]) == []


@pytest.mark.parametrize("select, chunk", [(slice(None), None), (slice(1, None, 2), 2)])
def test_pool_gives_the_sequential_results(path, sequential, select, chunk):
    frames = io.Frames(path)[select]
    assert_same_pairs(quorvel.map_frames(ff.pairs, frames, workers=2, chunk=chunk), sequential[select])


def test_pool_chunks_and_thread_default(path):
    frames = io.Frames(path)[2:]
    got = quorvel.map_chunks(ff.histogram_sum, frames, workers=2, chunk=4)
    assert_same_chunks(got, chunk_sums(frames, 4))
    # Up to eight chunks per worker by default, in order, covering every frame once.
    sizes = quorvel.map_chunks(len, frames, workers=2)
    assert sum(sizes) == len(frames) and 8 <= len(sizes) <= 16 and sizes == sorted(sizes, reverse=True)
    # Workers search on one thread when threads=None, unless told otherwise.
    assert quorvel.map_frames(ff.threads_default, path, workers=2) == [1] * FRAMES


def test_pool_workers_follow_quorvel_threads(path, monkeypatch):
    monkeypatch.setenv("QUORVEL_THREADS", "3")
    assert quorvel.map_frames(ff.threads_default, io.Frames(path)[:3], workers=2) == [3, 3, 3]


def test_pool_raises_the_error_of_fn_with_its_type(path):
    with pytest.raises(ff.Refused, match="refused .*frame=3$"):
        quorvel.map_frames(ff.refuse_frame, path, workers=2, chunk=2)


def test_pool_says_why_a_worker_could_not_load_fn(path):
    # A function of 'python -c' pickles by name, but no spawned process can import it.
    r = support.run_python(f"""
        import concurrent.futures.process, quorvel
        def size(s):
            return len(s)
        try:
            quorvel.map_frames(size, {path!r}, workers=2)
        except concurrent.futures.process.BrokenProcessPool as e:
            print(e)
    """)
    assert r.stdout.startswith("a worker process ended abruptly: it was killed (out of memory?) or could not "
                               "load fn"), r.stdout + r.stderr


@pytest.mark.parametrize("fn, frames, options, error, message", [
    (lambda s: 1, "PATH", {"workers": 2}, TypeError, "fn must be picklable to run in worker processes"),
    (len, "PATH", {"workers": 0}, ValueError, "workers must be a positive integer, not 0"),
    (len, "PATH", {"workers": True}, ValueError, "workers must be a positive integer, not True"),
    (len, "PATH", {"workers": 2, "client": object()}, ValueError, "give workers or client, not both"),
    (len, "PATH", {"chunk": 0}, ValueError, "chunk must be None or a positive number of frames, not 0"),
    (len, "PATH", {"workers": 2, "chunk": 2.5}, ValueError, "not 2.5"),
    (len, 123, {}, TypeError, "frames must be a quorvel.io.Frames or a path, not int"),
    (3, "PATH", {}, TypeError, "fn must be callable, not int"),
], ids=["lambda", "no-workers", "bool-workers", "both", "zero-chunk", "float-chunk", "not-frames", "not-callable"])
@pytest.mark.parametrize("mapper", ["map_frames", "map_chunks"])
def test_bad_arguments(path, mapper, fn, frames, options, error, message):
    with pytest.raises(error, match=message.replace(".", r"\.").replace("(", r"\(")):
        getattr(quorvel, mapper)(fn, path if frames == "PATH" else frames, **options)


# ---------------------------------------------------------------------------
# What threads=None means


@pytest.mark.parametrize("env, process, here, expected", [
    (None, None, None, 0), ("4", None, None, 4), (" 2 ", None, None, 2), ("4", 3, None, 3), ("4", 3, 1, 1),
    (None, None, 2, 2),
])
def test_default_threads(monkeypatch, env, process, here, expected):
    if env is None:
        monkeypatch.delenv("QUORVEL_THREADS", raising=False)
    else:
        monkeypatch.setenv("QUORVEL_THREADS", env)
    monkeypatch.setattr(engine, "_default_threads", None)
    engine.set_default_threads(process)
    if here is None:
        assert engine.default_threads() == engine.native_threads(None) == expected
    else:
        with engine.threads_here(here):
            assert engine.native_threads(None) == expected
        assert engine.native_threads(None) == (process or int(env or 0))
    assert engine.native_threads(5) == 5


@pytest.mark.parametrize("env", ["0", "two", "-1"])
def test_bad_quorvel_threads(monkeypatch, env):
    monkeypatch.setenv("QUORVEL_THREADS", env)
    monkeypatch.setattr(engine, "_default_threads", None)
    with pytest.raises(ValueError) as info:
        engine.native_threads(None)
    assert str(info.value) == f"QUORVEL_THREADS must be a positive integer, not {env!r}"
    with pytest.raises(ValueError, match="threads must be None or a positive integer, not 0"):
        engine.set_default_threads(0)


# ---------------------------------------------------------------------------
# A Dask cluster of two worker processes


def quiet_abandoned_connects():
    # Under load Dask abandons slow connection attempts and retries; asyncio
    # reports each abandoned timeout when it is collected, as the run ends.
    logging.getLogger("asyncio").addFilter(cli._abandoned_connect)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    quiet_abandoned_connects()
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  host="127.0.0.1") as cluster, distributed.Client(cluster) as c:
        yield c


def test_dask_gives_the_sequential_results(client, path, sequential):
    assert_same_pairs(quorvel.map_frames(ff.pairs, path, client=client), sequential)
    view = io.Frames(path)[::-2]
    assert_same_pairs(quorvel.map_frames(ff.pairs, view, client=client, chunk=1), sequential[::-2])
    assert_same_chunks(quorvel.map_chunks(ff.histogram_sum, view, client=client, chunk=2), chunk_sums(view, 2))
    assert quorvel.map_frames(ff.threads_default, view, client=client) == [1] * len(view)


def test_dask_raises_the_error_of_fn_with_its_type(client, path):
    with pytest.raises(ff.Refused, match="refused .*frame=3$"):
        quorvel.map_frames(ff.refuse_frame, path, client=client)


# ---------------------------------------------------------------------------
# What a chunk reads and what it carries, on a pool and on Dask


def _where(request, where):
    return {"workers": 2} if where == "pool" else {"client": request.getfixturevalue("client")}


@pytest.mark.parametrize("where", ["pool", "dask"])
def test_each_chunk_reads_only_its_own_frames(tmp_path, request, where):
    # Frame 0 has a bad number, which the frame scanner does not read: only a
    # chunk that reads frame 0 meets it.
    text = ff.xyz_text(FRAMES)
    lines = text.split("\n")
    lines[2] = "Si 0.5 bad 0.5"
    bad = ff.write(tmp_path, "bad.xyz", "\n".join(lines))
    expected = [ff.pairs(s) for s in io.Frames(ff.write(tmp_path, "good.xyz", text))[1:]]
    options = _where(request, where)
    assert_same_pairs(quorvel.map_frames(ff.pairs, io.Frames(bad)[1:], chunk=2, **options), expected)
    with pytest.raises(io.FormatError, match=r"bad.xyz, line 3: expected a number, got 'bad'$"):
        quorvel.map_frames(ff.pairs, bad, chunk=2, **options)


class _RecordingPool(concurrent.futures.ProcessPoolExecutor):
    """A process pool that notes the pickled size of what it starts its
    workers with and of each task."""

    sent = []

    def __init__(self, *args, initargs=(), **kwargs):
        self.sent.append(("start", len(pickle.dumps(initargs))))
        super().__init__(*args, initargs=initargs, **kwargs)

    def submit(self, fn, *args, **kwargs):
        self.sent.append(("task", len(pickle.dumps((fn, args, kwargs)))))
        return super().submit(fn, *args, **kwargs)


class _RecordingClient:
    """A Dask client that notes the pickled size of what it scatters and of
    each task's arguments."""

    def __init__(self, client):
        self.client = client
        self.sent = []

    def nthreads(self):
        return self.client.nthreads()

    def scatter(self, data, **kwargs):
        self.sent.append(("start", len(pickle.dumps(data))))
        return self.client.scatter(data, **kwargs)

    def submit(self, fn, *args, **kwargs):
        self.sent.append(("task", len(pickle.dumps([a for a in args if not hasattr(a, "key")]))))
        return self.client.submit(fn, *args, **kwargs)


@pytest.mark.parametrize("where", ["pool", "dask"])
def test_the_index_goes_to_the_workers_once(tmp_path, request, monkeypatch, where):
    frames = io.Frames(ff.write(tmp_path, "long.xyz", ff.xyz_text(1500)))
    index_size = len(pickle.dumps(frames.index))
    if where == "pool":
        _RecordingPool.sent = sent = []
        monkeypatch.setattr(parallel.concurrent.futures, "ProcessPoolExecutor", _RecordingPool)
        options = {"workers": 2}
    else:
        recording = _RecordingClient(request.getfixturevalue("client"))
        sent, options = recording.sent, {"client": recording}
    assert quorvel.map_frames(len, frames[5:], chunk=100, **options) == [len(ff.SYMBOLS)] * 1495
    starts = [size for what, size in sent if what == "start"]
    tasks = [size for what, size in sent if what == "task"]
    assert len(starts) == 1 and starts[0] >= index_size > 30_000
    assert len(tasks) == 15 and max(tasks) < 1000


# ---------------------------------------------------------------------------
# The command line: a pool, and a scheduler and a worker of their own


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    distributed = pytest.importorskip("distributed")
    quiet_abandoned_connects()
    folder = tmp_path_factory.mktemp("dask")
    address = f"tcp://127.0.0.1:{free_port()}"
    logs = [open(folder / name, "w") for name in ("scheduler.log", "worker.log")]
    started = [subprocess.Popen([sys.executable, "-P", "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                 "--port", address.rsplit(":", 1)[1], "--no-dashboard"], stdout=logs[0],
                                stderr=subprocess.STDOUT, cwd=folder)]
    try:
        started.append(subprocess.Popen([sys.executable, "-P", "-m", "distributed.cli.dask_worker", address,
                                         "--nthreads", "1", "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
                                        stdout=logs[1], stderr=subprocess.STDOUT, cwd=folder))
        with distributed.Client(address, timeout=60) as c:
            c.wait_for_workers(1, timeout=60)
        yield address
    finally:
        for p in reversed(started):
            p.terminate()
        for p in reversed(started):
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        for log in logs:
            log.close()


def test_command_on_a_scheduler_and_a_pool_reports_as_here(scheduler, path, tmp_path):
    args = ("neighbors", path, "--cutoff", "3", "--frames", "1::2")
    here = run(*args, "-o", tmp_path / "here.npz")
    assert here.returncode == 0 and here.stderr == "", here.stderr
    assert f"frames: 5 (--frames 1::2 of {FRAMES})" in here.stdout
    for where in (["--workers", "2"], ["--scheduler", scheduler]):
        out = tmp_path / f"{where[0][2:]}.npz"
        r = run(*args, *where, "-o", out)
        assert r.returncode == 0 and r.stderr == "", r.stderr
        assert r.stdout.replace(str(out), "OUT") == here.stdout.replace(str(tmp_path / "here.npz"), "OUT")
        with np.load(tmp_path / "here.npz") as a, np.load(out) as b:
            assert sorted(a.files) == sorted(b.files)
            for name in a.files:
                assert a[name].dtype == b[name].dtype and a[name].tobytes() == b[name].tobytes()
    whole = run("neighbors", path, "--cutoff", "3", "--frames")
    shared = run("neighbors", path, "--cutoff", "3", "--frames", "--scheduler", scheduler)
    assert shared.returncode == 0 and shared.stdout == whole.stdout and f"frames: {FRAMES}\n" in whole.stdout


def test_command_on_a_cut_trajectory_with_workers(tmp_path):
    lines = ff.xdatcar_text(7).splitlines(keepends=True)
    path = ff.write(tmp_path, "XDATCAR", "".join(lines[:-1]))
    here = run("neighbors", path, "--cutoff", "3", "--frames")
    shared = run("neighbors", path, "--cutoff", "3", "--frames", "--workers", "2")
    assert shared.returncode == 0 and shared.stdout == here.stdout and "frames: 6\n" in here.stdout
    assert shared.stderr == here.stderr and shared.stderr.count("\n") == 1
    assert shared.stderr.startswith(f"quorvel neighbors: warning: {path}, line ")
    strict = run("neighbors", path, "--cutoff", "3", "--frames", "--workers", "2", "--strict")
    assert strict.returncode == 1 and strict.stdout == ""
    assert strict.stderr.startswith(f"quorvel neighbors: error: {path}, line ")


@pytest.mark.parametrize("args, message", [
    (["--workers", "2"], "quorvel neighbors: error: --workers shares out the frames of --frames: add --frames "
                         "(or --frames A:B:C)\n"),
    (["--frames", "--workers", "0"], "quorvel neighbors: error: --workers must be at least 1\n"),
    (["--frames", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "quorvel neighbors: error: argument --scheduler: not allowed with argument --workers (see 'quorvel "
     "neighbors --help')\n"),
    (["--frames", "1:2:0"], "quorvel neighbors: error: argument --frames: the step of the frames '1:2:0' must not "
                            "be 0 (see 'quorvel neighbors --help')\n"),
    (["--frames", "7"], "quorvel neighbors: error: argument --frames: expected the frames as A:B:C, a slice with "
                        "each part optional (0:100, ::10, -5:), got '7' (see 'quorvel neighbors --help')\n"),
    (["--frames", "--scheduler", "nowhere:8786"], "quorvel neighbors: error: --scheduler expects a Dask "
                                                  "scheduler's address, tcp://HOST:PORT, not 'nowhere:8786'\n"),
])
def test_command_mistakes(path, args, message):
    r = run("neighbors", path, "--cutoff", "3", *args)
    assert r.returncode in (1, 2) and r.stdout == ""
    assert r.stderr.startswith(message) and r.stderr.count("\n") == 1, r.stderr


def test_command_frames_slice_here(path):
    r = run("neighbors", path, "--cutoff", "3", "--frames", "-3:")
    assert r.returncode == 0, r.stderr
    frames = io.Frames(path)[-3:]
    pairs = sum(int((quorvel.neighbor_list(s, 3.0).i < quorvel.neighbor_list(s, 3.0).j).sum()) for s in frames)
    assert f"frames: 3 (--frames -3: of {FRAMES})\npairs closer than 3 Å: {pairs} " in r.stdout
    assert run("neighbors", path, "--cutoff", "3", "--frames=-3:").stdout == r.stdout
    # A bare --frames before FILE stays every frame.
    every = run("neighbors", path, "--cutoff", "3", "--frames")
    assert run("neighbors", "--frames", path, "--cutoff", "3").stdout == every.stdout
    assert f"frames: {FRAMES}\n" in every.stdout
    empty = run("neighbors", path, "--cutoff", "3", "--frames", "5:2")
    assert empty.returncode == 0
    assert empty.stdout == f"{path} (XYZ): frames: 0 (--frames 5:2 of {FRAMES} picks none), no pairs to report\n"
