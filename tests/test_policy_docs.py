"""The worked example of docs/policies.md runs as a module of its own: its
policy passes the population's checks without a warning, pickles with the
population, and predicts along the steps it is shown."""

import contextlib
import io
import re
import sys
import types
import warnings
from pathlib import Path

import numpy as np

from kestrovane.pbt import Evidence, PolicyPicklingWarning

DOC = Path(__file__).resolve().parent.parent / "docs" / "policies.md"


def test_the_worked_example_runs_and_its_policy_predicts_along_the_steps():
    (code,) = re.findall(r"```python\n(.*?)```", DOC.read_text(), re.S)
    module = types.ModuleType("policies_example")
    sys.modules[module.__name__] = module  # so that its class pickles by name
    try:
        out = io.StringIO()
        with warnings.catch_warnings(), contextlib.redirect_stdout(out):
            warnings.simplefilter("error", PolicyPicklingWarning)
            exec(compile(code, str(DOC), "exec"), module.__dict__)
        assert out.getvalue() == "replace c False\n"
        # Row 0 lies on the line 2 * step, reported at uneven steps: its
        # prediction at step 10 is 20; spaced by report count it is not.
        windows = (np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0], [10.0, 10.0]]),
                   np.array([[9.0, 9.0], [9.0, 9.0]]))
        steps = (np.array([1, 2, 3, 10]), np.array([4, 7]))
        shown = [Evidence(("a", "b"), windows, 0, np.array([True, True]), 0.5, 3, *given)
                 for given in ((steps, tuple(s * 1.0 for s in steps)), ())]
        by_step, by_count = (module.NewestOnLine()(e).detail for e in shown)
        assert np.isclose(by_step[0], 20.0) and not np.isclose(by_count[0], 20.0)
        assert np.isclose(by_step[1], 18.0) and np.isclose(by_count[1], 18.0)
    finally:
        del sys.modules[module.__name__]
