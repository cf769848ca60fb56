# Runs the tests from a checkout: the package from python/, its metadata (with
# python-can's entry point) from the build's python/, the network of this
# folder, and the library and dnm of build/ unless VELKCANDNM_LIBRARY or
# DNM_BUILD_DIR name others.
import os
import sys

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = os.environ.setdefault("DNM_BUILD_DIR", os.path.join(root, "build"))
sys.path[:0] = [os.path.join(root, "python"), os.path.join(build, "python")]
os.environ["VELKCAN_NETWORK"] = os.path.join(os.path.dirname(__file__), "network.txt")
os.environ.setdefault("VELKCANDNM_LIBRARY", os.path.join(build, "lib"))
