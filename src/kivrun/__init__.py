"""kivrun: transient simulation of superconducting electronics."""

__version__ = "0.1.0"
