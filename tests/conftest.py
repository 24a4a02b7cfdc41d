import pytest

import _varkit_mib


@pytest.fixture
def emu():
    """The emulated MIB, served and emptied: a test builds its own tree."""
    _varkit_mib.use_emulated()
    _varkit_mib.reset()
    yield _varkit_mib
    _varkit_mib.load_default()


@pytest.fixture
def default_tree():
    """The emulated MIB with the default tree loaded and an empty call log."""
    _varkit_mib.use_emulated()
    _varkit_mib.load_default()
    yield _varkit_mib
    _varkit_mib.load_default()
