"""The version of velmor, where every module may read it without importing the package's face."""

__version__ = "0.1.0"
