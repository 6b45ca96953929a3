"""The self-contained wheel: built by scripts/wheel.sh, it needs only the shared libraries
that manylinux allows, and installs and works in a fresh virtual environment."""

import os
import subprocess
import venv
import zipfile
from pathlib import Path

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

ROOT = Path(__file__).resolve().parents[2]

# The libraries a manylinux wheel may take from the system (PEP 599/600), by soname.
MANYLINUX_ALLOWED = {
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libcrypt.so.1",
    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}

ROUND_TRIP = """
import sys, ormel
path = sys.argv[1]
db = ormel.open(path, "pass", dimensions=3)
mid = db.remember("kept in the wheel", "semantic", [1.0, 0.0, 0.0])
db.flush()
del db
db = ormel.open(path, "pass", read_only=True)
assert db.get(mid)["content"] == "kept in the wheel"
assert db.search([1.0, 0.0, 0.0], top_k=1)[0][0]["id"] == mid
print("ok", ormel.__file__)
"""


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("dist")
    env = dict(os.environ, ORMEL_SETUP_DONE="1")
    subprocess.run([str(ROOT / "scripts" / "wheel.sh"), str(out)], check=True, env=env, cwd=ROOT,
                   stdout=subprocess.DEVNULL)
    (built,) = out.glob("ormel-*.whl")
    return built


def needed_libraries(wheel: Path, tmp_path: Path) -> dict[str, list[str]]:
    found = {}
    with zipfile.ZipFile(wheel) as zf:
        for name in zf.namelist():
            if name.endswith(".so") or ".so." in name:
                target = tmp_path / Path(name).name
                target.write_bytes(zf.read(name))
                with target.open("rb") as f:
                    dynamic = [s for s in ELFFile(f).iter_sections() if isinstance(s, DynamicSection)]
                    found[name] = [t.needed for d in dynamic for t in d.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    return found


def test_wheel_is_tagged_abi3_and_manylinux(wheel: Path) -> None:
    tags = wheel.name.removesuffix(".whl").split("-")[2:]
    assert tags[0] == "cp311" and tags[1] == "abi3"
    assert tags[2].startswith("manylinux_")


def test_extension_needs_only_manylinux_libraries(wheel: Path, tmp_path: Path) -> None:
    found = needed_libraries(wheel, tmp_path)
    assert any(name.startswith("ormel/ormel") for name in found), "the wheel holds no extension module"
    # Besides the system's allowed libraries, only copies that travel inside the wheel.
    shipped = {Path(name).name for name in found}
    for name, libs in found.items():
        outside = set(libs) - MANYLINUX_ALLOWED - shipped
        assert not outside, f"{name} needs {sorted(outside)}"


def test_wheel_installs_and_runs_in_a_fresh_environment(wheel: Path, tmp_path: Path) -> None:
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", str(wheel)], check=True)
    # Run from outside the checkout so the import can only find the installed wheel.
    result = subprocess.run([str(python), "-c", ROUND_TRIP, str(tmp_path / "w.ormel")], check=True,
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.stdout.startswith("ok ")
    assert str(env_dir) in result.stdout
