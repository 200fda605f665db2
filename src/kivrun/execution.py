"""Many runs of one circuit: in this process, a local process pool, or a Dask cluster.

A :class:`Job` is what every run shares: the netlist text, the run settings
and the function that turns a :class:`Result` into the small value sent back
(pass/fail, a delay...).  It is picklable; the built circuit (which holds
native models) is not, so each process builds its own once and keeps it
(:func:`run_trial`), and a run only changes values in place.

Analyses are written as *chains*: generators that yield a change (target ->
multiplier), receive its outcome and yield the next, so a bisection is a
chain and a Monte Carlo run is a chain of one.  :func:`drive` keeps every
chain's next run in flight on a :class:`Runner`.
"""
from __future__ import annotations

import concurrent.futures as cf
import hashlib
import os
import pickle
from dataclasses import dataclass, field
from typing import Any, Callable, Generator, Iterable, Mapping

from . import kvglobals
from .api import Prepared, prepare, run_prepared
from .errors import NetlistError, SimulationError
from .netlist import parse_netlist
from .results import Result
from .variation import Variation

Change = Mapping[str, float]
Chain = Generator[Change, Any, Any]
#: Outcome of a run that did not finish (no convergence, a singular matrix...).
FAILED_RUN = None


@dataclass(frozen=True)
class Job:
    """Everything the runs of one analysis share (sent once to each worker)."""

    text: str
    name: str = "<netlist>"
    base_dir: str = "."
    #: Overrides of the run settings (tolerance, fixed_step, ...), SI units.
    settings: tuple[tuple[str, Any], ...] = ()
    #: Result -> the value a run reports; FAILED_RUN is reported for a run that fails.
    evaluate: Callable[[Result], Any] | None = None
    key: str = field(default="", compare=False)

    @classmethod
    def from_netlist(cls, netlist: str, evaluate: Callable[[Result], Any] | None = None,
                     **settings: Any) -> "Job":
        """A job for a netlist file path or netlist text."""
        if "\n" in netlist:
            text, name, base_dir = netlist, "<netlist>", os.getcwd()
        else:
            from .errors import Location, NetlistError
            try:
                with open(netlist, encoding="utf-8") as handle:
                    text = handle.read()
            except OSError as exc:
                raise NetlistError(f"cannot read netlist ({exc.strerror})", Location(netlist, 0),
                                   netlist) from None
            name, base_dir = netlist, os.path.dirname(os.path.abspath(netlist))
        job = cls(text, name, base_dir, tuple(sorted((k, v) for k, v in settings.items() if v is not None)),
                  evaluate)
        return job.with_evaluate(evaluate)

    def with_evaluate(self, evaluate: Callable[[Result], Any] | None) -> "Job":
        digest = hashlib.sha1(pickle.dumps((self.text, self.name, self.base_dir, self.settings)))
        return Job(self.text, self.name, self.base_dir, self.settings, evaluate, digest.hexdigest())

    def prepared(self, params: Mapping[str, float] | None = None) -> Prepared:
        circuit = parse_netlist(self.text, self.name, self.base_dir, params or None)
        return prepare(circuit, **dict(self.settings))


class _Built:
    """One process's built circuit for one job and one set of ``.param`` values."""

    def __init__(self, job: Job, params: dict[str, float]):
        self.key = (job.key, tuple(sorted(params.items())))
        self.prepared = job.prepared(params)
        self.variation = Variation(self.prepared.built, self.prepared.circuit)


# The models bind to process-wide state, so a process holds one built circuit at a time.
_current: dict[str, _Built] = {}


def _built_for(job: Job, params: dict[str, float]) -> _Built:
    key = (job.key, tuple(sorted(params.items())))
    built = _current.get("built")
    # Anything built since (a plain simulate() in this process) has re-bound the models' state.
    if built is None or built.key != key or kvglobals.ElementList is not built.prepared.built.elements:
        _current.pop("built", None)
        built = _current["built"] = _Built(job, params)
    return built


def nominal_variation(job: Job) -> Variation:
    """The Variation of this process's nominal build of ``job`` (for resolving names)."""
    return _built_for(job, {}).variation


def run_change(job: Job, change: Change) -> Result:
    """One run of the job's circuit with ``change`` applied; nominal values are restored after."""
    built = _built_for(job, {})
    params = built.variation.param_values(change)
    if params:
        built = _built_for(job, params)
    try:
        built.variation.apply(change)
        return run_prepared(built.prepared)
    finally:
        built.variation.restore()


def run_trial(job: Job, change: Change) -> Any:
    """What a worker does for one task: run and evaluate; FAILED_RUN if the run fails."""
    try:
        result = run_change(job, change)
    except (SimulationError, NetlistError, ArithmeticError):
        # A value that breaks the run (or, for a .param, the netlist) is a failing value.
        return FAILED_RUN
    return job.evaluate(result) if job.evaluate is not None else result


# -- runners ------------------------------------------------------------------
class Runner:
    """Runs trials of one job somewhere; ``submit`` then ``next_done`` in any order."""

    def submit(self, change: Change) -> Any:
        raise NotImplementedError

    def next_done(self) -> tuple[Any, Any]:
        """(handle, outcome) of some finished trial; blocks."""
        raise NotImplementedError

    def cancel(self) -> None:
        pass

    def close(self) -> None:
        pass


class InProcessRunner(Runner):
    def __init__(self, job: Job):
        self.job = job
        self.done: list[tuple[int, Any]] = []
        self.count = 0

    def submit(self, change: Change) -> int:
        self.count += 1
        self.done.append((self.count, run_trial(self.job, dict(change))))
        return self.count

    def next_done(self) -> tuple[int, Any]:
        return self.done.pop(0)


_pool_job: dict[str, Job] = {}


def _pool_init(job: Job) -> None:
    _pool_job["job"] = job


def _pool_task(change: dict[str, float]) -> Any:
    return run_trial(_pool_job["job"], change)


class PoolRunner(Runner):
    """A local process pool; each worker gets the job once, at start."""

    def __init__(self, job: Job, workers: int):
        self.pool = cf.ProcessPoolExecutor(max_workers=workers, initializer=_pool_init, initargs=(job,))
        self.pending: set[cf.Future] = set()

    def submit(self, change: Change) -> cf.Future:
        future = self.pool.submit(_pool_task, dict(change))
        self.pending.add(future)
        return future

    def next_done(self) -> tuple[cf.Future, Any]:
        done, _ = cf.wait(self.pending, return_when=cf.FIRST_COMPLETED)
        future = next(iter(done))
        self.pending.discard(future)
        try:
            return future, future.result()
        except cf.process.BrokenProcessPool:
            raise SimulationError("a worker process died (out of memory or killed)") from None

    def cancel(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)

    def close(self) -> None:
        self.pool.shutdown()


#: Netlist size (characters) from which a Dask job is scattered rather than sent with each task.
SCATTER_ABOVE = 200_000


def _dask_task(job: Job, change: dict[str, float]) -> Any:
    return run_trial(job, change)


class DaskRunner(Runner):
    """A Dask distributed cluster: the job is scattered once, results stream back."""

    def __init__(self, job: Job, scheduler: Any, retries: int = 2):
        try:
            from dask.distributed import Client, as_completed
        except ImportError:
            raise RuntimeError("running on a cluster needs Dask: pip install 'kivrun[cluster]'") from None
        self.own_client = not isinstance(scheduler, Client)
        self.client = Client(scheduler) if self.own_client else scheduler
        # A small job travels inside each task: a scattered copy can be lost
        # with the worker that held it before it was replicated, and every
        # task waiting on it would be cancelled with it.  A large one is
        # scattered once.
        small = len(job.text) < SCATTER_ABOVE
        self.job = job if small else self.client.scatter(job, broadcast=True, hash=False)
        self.queue = as_completed()
        self.retries = retries
        self.pending: set[Any] = set()

    def submit(self, change: Change) -> Any:
        future = self.client.submit(_dask_task, self.job, dict(change), pure=False, retries=self.retries)
        self.pending.add(future)
        self.queue.add(future)
        return future

    def next_done(self) -> tuple[Any, Any]:
        future = next(self.queue)
        self.pending.discard(future)
        return future, future.result()

    def cancel(self) -> None:
        self.client.cancel(list(self.pending))
        self.pending.clear()

    def close(self) -> None:
        if self.own_client:
            self.client.close()


def make_runner(job: Job, workers: int | None = None, scheduler: Any = None) -> Runner:
    """Dask if a scheduler is given, else local processes: ``workers`` of them (1: this process).

    With neither, DASK_SCHEDULER_ADDRESS names the scheduler if it is set;
    otherwise every core is used.
    """
    if scheduler is None and workers is None:
        scheduler = os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if scheduler:
        return DaskRunner(job, scheduler)
    workers = workers or os.cpu_count() or 1
    return InProcessRunner(job) if workers == 1 else PoolRunner(job, workers)


def drive(runner: Runner, chains: Iterable[Chain], progress: Callable[[int], None] | None = None,
          in_flight: int = 4096) -> list[Any]:
    """Run every chain to its end, with one trial of each in flight; returns their values in order.

    At most ``in_flight`` chains are started at a time, so a million Monte
    Carlo runs do not become a million queued tasks.  ``progress`` is called
    with the number of trials finished so far.  Any exception, Ctrl-C
    included, cancels every trial not yet finished.
    """
    source = enumerate(chains)
    values: dict[int, Any] = {}
    active: dict[int, Chain] = {}
    owner: dict[Any, int] = {}

    def advance(k: int, outcome: Any, first: bool = False) -> None:
        chain = active[k]
        try:
            change = next(chain) if first else chain.send(outcome)
        except StopIteration as stop:
            values[k] = stop.value
            del active[k]
            return
        owner[runner.submit(change)] = k

    def start_more() -> None:
        while len(active) < in_flight:
            item = next(source, None)
            if item is None:
                return
            active[item[0]] = item[1]
            advance(item[0], None, first=True)

    finished = 0
    try:
        start_more()
        while owner:
            handle, outcome = runner.next_done()
            finished += 1
            if progress is not None:
                progress(finished)
            advance(owner.pop(handle), outcome)
            start_more()
    except BaseException:
        runner.cancel()
        raise
    finally:
        runner.close()
    return [values[k] for k in sorted(values)]


def pass_fail_job(netlist: str, criterion: Callable[[Result], Any] | None, window: float,
                  settings: Mapping[str, Any]) -> tuple[Job, Variation]:
    """The job of a pass/fail analysis and the nominal circuit's Variation (built here).

    Without ``criterion`` a run passes when its junction events match the
    nominal run's (:class:`~kivrun.criteria.SameEvents`); the nominal run
    itself must pass either way.
    """
    from .criteria import Passes, SameEvents

    job = Job.from_netlist(netlist, **settings)
    nominal = run_change(job, {})
    variation = nominal_variation(job)
    if criterion is None:
        junctions = frozenset(e.name.lower() for e in variation.built.elements
                              if e.kind == "B" and "#" not in e.name)
        check: Callable[[Result], Any] = SameEvents(tuple(nominal.events), junctions, window)
    else:
        check = Passes(criterion)
        if not check(nominal):
            raise SimulationError("the nominal circuit fails the criterion")
    return job.with_evaluate(check), variation
