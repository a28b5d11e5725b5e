import os
import sys

# Make the shared helpers importable whatever import mode pytest runs in.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
