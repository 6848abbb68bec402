"""Short name of corvane.FrameVault: importing it yields the package's store module itself."""

import sys

from corvane import FrameVault as _store

sys.modules[__name__] = _store
