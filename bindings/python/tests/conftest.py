"""Shared fixtures: the committed vectors, by name."""

import json
import os
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[3]
VECTORS = Path(os.environ.get("VELKOR_VECTORS", SOURCE / "tools" / "vectors" / "vectors.json"))


def load_vectors() -> list[dict]:
    return json.loads(VECTORS.read_text())["vectors"]


@pytest.fixture(scope="session")
def vectors() -> dict[str, dict]:
    return {v["name"]: v for v in load_vectors()}
