# Runs the tests from a checkout: the package from python/, the network of
# this folder, and the library of build/ unless VELKCANDNM_LIBRARY names one.
import os
import sys

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(root, "python"))
os.environ["VELKCAN_NETWORK"] = os.path.join(os.path.dirname(__file__), "network.txt")
os.environ.setdefault("VELKCANDNM_LIBRARY", os.path.join(root, "build", "lib"))
