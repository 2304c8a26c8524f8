"""Quickstart: import the tracer module and show which version is installed."""

import korvanta_python

print(f"korvanta_python {korvanta_python.__version__}")
