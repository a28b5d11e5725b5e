"""The installed package says what it is: its version, and the interpreters it is tested on."""

import importlib.metadata
import re
import sys

import pytest
from packaging.specifiers import SpecifierSet

import vrelpy


@pytest.fixture(scope="module")
def metadata():
    try:
        return importlib.metadata.metadata("vrelpy")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vrelpy is imported from a build tree, not installed")


def test_version_is_written_once(metadata):
    # vrelpy.__version__ is the single source; the package metadata is made from it.
    assert re.fullmatch(r"\d+\.\d+\.\d+", vrelpy.__version__)
    assert metadata["Version"] == vrelpy.__version__


def test_interpreters_declared_are_the_ones_admitted(metadata):
    # The classifiers name exactly the minor versions that requires-python admits, and the
    # interpreter running these tests is one of them.
    admitted = SpecifierSet(metadata["Requires-Python"])
    declared = {
        c.rsplit(" :: ", 1)[1]
        for c in metadata.get_all("Classifier")
        if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    }
    assert declared == {f"3.{minor}" for minor in range(40) if f"3.{minor}" in admitted}
    assert f"{sys.version_info.major}.{sys.version_info.minor}" in declared
