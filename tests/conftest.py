import pytest

import corvane.FrameVault as FrameVault


@pytest.fixture
def store_cls():
    return FrameVault.ParquetDataManager


@pytest.fixture
def root(tmp_path):
    return str(tmp_path / "data")


@pytest.fixture
def store(root, store_cls):
    return store_cls(root)
