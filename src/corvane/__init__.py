"""corvane: a local Parquet store for dated pandas DataFrames and a client that fills it."""

import sys

from . import FrameVault

__version__ = "0.1.0"

# The client module imports the store by its short name; both names denote one module object.
sys.modules.setdefault("FrameVault", FrameVault)
