import os
import sys

# Importable from the source tree; ZORVANE_LIBRARY names the build's library.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
