"""varkit's pytest plugin: the `mib` fixture.

Installed with varkit and loaded by pytest on its own (entry point group
pytest11); elsewhere, load it with `-p varkit.pytest_plugin`.  The MIB
provider is imported only by tests that ask for the fixture.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from varkit.testing import EmulatedMIB


@pytest.fixture
def mib() -> Iterator[EmulatedMIB]:
    """The emulated MIB holding the default tree, with no fault pending and
    an empty call log; the tree served before comes back afterwards."""
    from varkit.testing import emulated_mib

    with emulated_mib() as tree:
        yield tree
