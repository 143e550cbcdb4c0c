# Package build: the extension modules come from the project's CMake build, configured for a
# relocatable tree and written straight into setuptools' staging folder.
import os
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution


class BuildWithCMake(build_py):
    def run(self):
        super().run()
        root = os.path.dirname(os.path.abspath(__file__))
        staging = os.path.abspath(os.path.join(self.build_lib, "silver_kestrel"))
        build_dir = os.environ.get("KESTREL_PACKAGE_BUILD_DIR", os.path.join(root, "build-package"))
        configure = ["cmake", "-S", root, "-B", build_dir, "-G", "Ninja",
                     f"-DPython3_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DKESTREL_PACKAGE_DIR={staging}", "-DKESTREL_RELOCATABLE=ON"]
        launcher = os.environ.get("CMAKE_CXX_COMPILER_LAUNCHER")
        if launcher:
            configure.append(f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}")
        subprocess.check_call(configure)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.check_call(["cmake", "--build", build_dir, "--parallel", jobs])


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithCMake}, distclass=BinaryDistribution)
