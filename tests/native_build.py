"""Builds the suite's own C++ executables (fuzz replay drivers, engine tests)
with CMake, under the suite's sanitizer when it runs under one."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SANITIZER = os.environ.get("RAVIK_SANITIZER", "")
FLAGS = {
    "address": "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer",
    "thread": "-fsanitize=thread -fno-omit-frame-pointer",
}


def tool(name):
    local = pathlib.Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


def plain_env():
    """The environment without the sanitizer runtime that the suite's own
    interpreter may have preloaded: the compiler and the built binaries bring
    their own (or none)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def build(source, name, sanitizers=("address",)):
    """Configures and builds the CMake project at `source` into build/<name>
    (build/<name>-<sanitizer> when the suite runs under one of `sanitizers`);
    returns the build directory."""
    cmake = tool("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    sanitizer = SANITIZER if SANITIZER in sanitizers else ""
    directory = ROOT / "build" / (f"{name}-{sanitizer}" if sanitizer else name)
    configure = [cmake, "-S", str(source), "-B", str(directory), "-DCMAKE_BUILD_TYPE=Debug"]
    if sanitizer:
        flags = FLAGS[sanitizer]
        configure += [f"-DCMAKE_CXX_FLAGS={flags}", f"-DCMAKE_EXE_LINKER_FLAGS={flags}"]
    ninja = tool("ninja")
    if ninja and not (directory / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    env = plain_env()
    subprocess.run(configure, check=True, capture_output=True, env=env)
    subprocess.run([cmake, "--build", str(directory), "-j", str(os.cpu_count() or 2)], check=True,
                   capture_output=True, env=env)
    return directory
