"""The same analyses on a real Dask cluster: scheduler and worker processes started here."""
from __future__ import annotations

import os

import pytest

from analysis_support import DiesOnce, jtl

distributed = pytest.importorskip("dask.distributed")

from kivrun.margin_search import margins  # noqa: E402
from kivrun.montecarlo import estimate_yield  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_cluster_table_equals_local_pool(client):
    kwargs = dict(resolution=0.05)
    local = margins(jtl(), ["bias", "B*", "L1.X2"], workers=2, **kwargs)
    remote = margins(jtl(), ["bias", "B*", "L1.X2"], scheduler=client, **kwargs)
    assert remote.rows == local.rows
    assert str(remote) == str(local)


def test_killed_worker_loses_only_its_task(client, tmp_path):
    marker = str(tmp_path / "died")
    result = estimate_yield(jtl(), 6, seed=1, spread=[("B*", 0.01)],
                            criterion=DiesOnce(marker, os.getpid()), scheduler=client)
    assert os.path.exists(marker)  # a worker did die in a task
    assert result.passed == 6 and not result.failures
