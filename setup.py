# Package build: the extension modules come from the project's own CMake build (the build folder
# tools/build uses, so an up-to-date checkout only installs), installed into setuptools' staging
# folder. CMake's install step rewrites each module's run path to $ORIGIN-relative entries.
import os
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))


class BuildWithCMake(build_py):
    def run(self):
        super().run()
        build_dir = os.environ.get("KESTREL_BUILD_DIR", os.path.join(ROOT, "build"))
        if not os.path.isfile(os.path.join(build_dir, "build.ninja")):
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                                   f"-DPython3_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.check_call(["cmake", "--build", build_dir, "--parallel", jobs])
        subprocess.check_call(["cmake", "--install", build_dir, "--prefix", os.path.abspath(self.build_lib)],
                              stdout=subprocess.DEVNULL)


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithCMake}, distclass=BinaryDistribution)
