"""The package's papers agree with each other and with what is installed: one version, one licence."""

import importlib.metadata
import pathlib
import re
import tomllib

import velmor

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def cff_field(name):
    match = re.search(rf"^{name}: *\"?([^\"\n]+)\"?$", (ROOT / "CITATION.cff").read_text(), re.M)
    assert match, f"CITATION.cff has no {name}"
    return match.group(1)


def test_one_version_everywhere():
    assert velmor.__version__ == PROJECT["version"] == cff_field("version")
    assert importlib.metadata.version("velmor") == PROJECT["version"]


def test_one_licence_everywhere():
    assert PROJECT["license"] == cff_field("license") == "BSD-3-Clause"
    assert (ROOT / "LICENSE").read_text().startswith("BSD 3-Clause License")
    meta = importlib.metadata.metadata("velmor")
    assert meta["License-Expression"] == "BSD-3-Clause"
    shipped = [f for f in importlib.metadata.files("velmor") if f.name == "LICENSE"]
    assert shipped, "the wheel does not carry the LICENSE file"


def test_changelog_keeps_a_section_for_what_is_not_released():
    text = (ROOT / "CHANGELOG.md").read_text()
    headings = re.findall(r"^## \[([^\]]+)\]", text, re.M)
    assert headings and headings[0] in ("Unreleased", PROJECT["version"])
    # every heading links somewhere, as Keep a Changelog asks
    assert all(re.search(rf"^\[{re.escape(h)}\]: \S+", text, re.M) for h in headings)
