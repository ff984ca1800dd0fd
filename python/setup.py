"""The wheel's tag: the package holds a native library, so the wheel is for this platform only, but
it has no extension module (ctypes loads the library), so any Python 3 takes it."""
from pathlib import Path

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel

LIBRARIES = ("libKestalHostComm.so", "KestalHostComm.dll")


class NativeDistribution(Distribution):
    def has_ext_modules(self):
        return True  # the library: the package goes to the platform's folder, the wheel is not "any"


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


if not any((Path(__file__).parent / "kestal" / name).is_file() for name in LIBRARIES):
    raise SystemExit("no libKestalHostComm.so beside the module in kestal/: "
                     "build the wheel with `cmake --build build --target python-wheel`")
setup(distclass=NativeDistribution, cmdclass={"bdist_wheel": PlatformWheel})
