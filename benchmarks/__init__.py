"""Benchmarks of ordinata against numpy, statsmodels, linearmodels and scikit-learn.

Run with ``make bench`` (or ``python -m benchmarks``); the results go to
``benchmarks/RESULTS.md`` and ``benchmarks/results.png``. These are
measurements, not tests: nothing here asserts on a timing.
"""
