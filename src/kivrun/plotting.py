"""matplotlib, imported only when a plot is asked for."""
from __future__ import annotations

from typing import Any


def pyplot() -> Any:
    """matplotlib.pyplot on the file-only Agg backend, or a one-line error naming the extra."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise RuntimeError("plotting needs matplotlib: pip install 'kivrun[plot]'") from None
    return plt
