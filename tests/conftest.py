import sys
from pathlib import Path

# The tests exercise the installed package. `python -m pytest` puts the working directory on
# sys.path, and from the project root the source tree's tallyra/ (which holds no built module)
# would shadow the installed one.
_ROOT = Path(__file__).resolve().parent.parent
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _ROOT]

import pytest  # noqa: E402

from tallyra._korval32 import NativeProvenanceTracker  # noqa: E402


@pytest.fixture
def tracker():
    return NativeProvenanceTracker()


@pytest.fixture
def loans():
    """A fresh tracker and the three-row loans frame wrapped with age protected."""
    import pandas as pd

    from tallyra.utilities.korval32 import ProvenanceTracker, wrap_dataframe

    tracker = ProvenanceTracker()
    df = pd.DataFrame({"age": [30, 45, 60], "income": [1000.0, 2500.0, 4000.0]})
    return tracker, wrap_dataframe(df, tracker, "loans", protected=["age"])


@pytest.fixture
def hosted():
    """A stand-in for the hosted service on 127.0.0.1, recording every request."""
    from hosted_service import HostedService

    service = HostedService()
    yield service
    service.close()

